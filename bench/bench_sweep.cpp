// A real sweep on the simulated board for at least 10 s: every tick does what
// the sweep window's tick does (one full load), and the tick times are held
// against the schedule start + n x 10 ms. Prints the mean period, the median,
// p99 and largest deviation from the schedule, and the ticks dropped.
#include "app/Globals.h"
#include "core/Numbers.h"
#include "dds/Port.h"
#include "dds/mdlSetKalimor.h"
#include "sweep/SweepClock.h"
#include "sweep/SweepState.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace kalimor;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    dds::SimulatedBoard board;
    setPortBackend(&board);
    Globals::PortAddress = 0x378;

    SweepClock clock(std::chrono::milliseconds(10));
    SweepState sweep;
    sweep.start(10000);
    std::vector<double> deviationMs; // actual - scheduled
    std::vector<Clock::time_point> times;
    deviationMs.reserve(static_cast<size_t>(seconds * 110));
    times.reserve(deviationMs.capacity());

    QObject::connect(&clock, &SweepClock::tick, &app, [&] {
        const auto now = Clock::now();
        times.push_back(now);
        deviationMs.push_back(std::chrono::duration<double, std::milli>(now - clock.due()).count());
        sweep.turn(10100, 10000);
        WriteDDSWord(tuningWord(sweep.SwpPos / 10.0, 100e6), 0, 0);
        sweep.advance();
    });
    clock.setEnabled(true);
    QTimer::singleShot(static_cast<int>(seconds * 1000) + 5, Qt::PreciseTimer, &app, [&] {
        clock.setEnabled(false);
        app.quit();
    });
    app.exec();

    const size_t n = times.size();
    if (n < 2) return 1;
    const double meanPeriod =
        std::chrono::duration<double, std::milli>(times.back() - times.front()).count() /
        static_cast<double>(n - 1);
    std::vector<double> absDev(deviationMs.size());
    std::transform(deviationMs.begin(), deviationMs.end(), absDev.begin(),
                   [](double d) { return std::fabs(d); });
    std::sort(absDev.begin(), absDev.end());
    auto pct = [&](double p) {
        return absDev[std::min(absDev.size() - 1, static_cast<size_t>(p * absDev.size()))];
    };
    std::printf("sweep ticks: %zu in %.1f s, loads on the board: %zu\n", n, seconds,
                board.loads().size());
    std::printf("mean period: %.4f ms\n", meanPeriod);
    std::printf("deviation from schedule: median %.3f ms, p99 %.3f ms, max %.3f ms\n", pct(0.5),
                pct(0.99), absDev.back());
    std::printf("missed ticks: %lld\n", static_cast<long long>(clock.missed()));
    setPortBackend(nullptr);
    return 0;
}
