// The board's other figures: how long a load from another thread (a
// keystroke in the main window) takes to reach the board and be answered,
// and the resident memory after 10,000 and after 2,000,000 loads through the
// simulated board, which must stay within 2 MB of each other.
#include "Percentile.h"
#include "dds/Board.h"
#include "dds/Port.h"
#include "dds/mdlSetKalimor.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace kalimor;
using Clock = std::chrono::steady_clock;

namespace {

double residentMB() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) return 0;
    return statm.readAll().split(' ').value(1).toDouble() * 4096 / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const long total = argc > 1 ? std::atol(argv[1]) : 2'000'000;
    dds::SimulatedBoard simulated;
    setPortBackend(&simulated);
    dds::Board& board = dds::board();

    std::vector<double> micros;
    micros.reserve(10'000);
    double after10k = 0;
    for (long i = 0; i < total; ++i) {
        const auto start = Clock::now();
        board.load(static_cast<std::int32_t>(42950 + i % 100000), 0, 0);
        if (i < 10'000)
            micros.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (i + 1 == 10'000) after10k = residentMB();
    }
    const double afterAll = residentMB();
    std::sort(micros.begin(), micros.end());
    std::printf("load from another thread, answered: median %.1f us, p99 %.1f us, worst %.1f us\n",
                percentile(micros, 0.5), percentile(micros, 0.99), micros.back());
    std::printf("resident memory: %.1f MB after 10,000 loads, %.1f MB after %ld (%+.2f MB)\n",
                after10k, afterAll, total, afterAll - after10k);
    std::printf("loads on the simulated board: %llu, history kept: %zu\n",
                static_cast<unsigned long long>(simulated.loadCount()), simulated.loads().size());
    setPortBackend(nullptr);
    return 0;
}
