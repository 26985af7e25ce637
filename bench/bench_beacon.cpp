// One whole WSPR frame (162 symbols, 110.592 s) through the serial bridge's
// timed queue, on the real firmware on an emulated ATmega328P in real time,
// replies held 16 ms as an FT232R's default, the resonator 0.5 % slow or
// fast: each symbol edge's error from its schedule in true time (the
// board's cycles at its true rate), and the frame's length. The target: every edge within 1 ms, the
// frame within 5 ms.
//
// Usage: bench_beacon [CLOCK_ERROR_PERCENT ...]   (default: -0.5 0.5)
#include "EmulatedBridge.h"
#include "beacon/Schedule.h"
#include "core/Numbers.h"
#include "dds/QueuedSequence.h"
#include "dds/SerialBridge.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

using namespace kalimor;

namespace {

bool frame(double error) {
    using Clock = std::chrono::steady_clock;
    const auto born = Clock::now();
    EmulatedBridge board(KALIMOR_BRIDGE_ELF);
    board.setRealTime(true);
    board.setClockError(error);
    board.setReplyDelay(std::chrono::milliseconds(16));
    dds::SerialBridgePort port(QString::fromStdString(board.device()));
    if (!port.hasQueue()) {
        std::printf("the firmware has no timed queue\n");
        return false;
    }
    QString why;
    const auto m = beacon::encodeType1(QStringLiteral("K1ABC"), QStringLiteral("FN42"), 37, &why);
    std::vector<dds::QueuedSequence::Word> words;
    for (const beacon::Tone& t : beacon::wsprTones(m->symbols, 14'095'600, 1500))
        words.push_back(
            {t.at, std::uint32_t(tuningWord(t.hz, 100e6)), std::uint8_t(t.off ? 0x04 : 0)});
    const auto start = Clock::now() + std::chrono::milliseconds(100);
    dds::QueuedSequence sequence(port, words, start);
    while (const auto next = sequence.step()) std::this_thread::sleep_until(*next);
    // Each latch where the board's own clock puts it, which the machine's
    // load does not move.
    const auto times = board.latchTimes();
    if (times.size() != words.size()) {
        std::printf("%zu latches for %zu words\n", times.size(), words.size());
        return false;
    }
    const double origin = std::chrono::duration<double>(start - born).count();
    std::vector<double> errors;
    for (std::size_t i = 0; i < words.size(); ++i)
        errors.push_back((times[i] - origin - std::chrono::duration<double>(words[i].at).count()) *
                         1e3);
    std::vector<double> magnitude(errors.size());
    std::transform(errors.begin(), errors.end(), magnitude.begin(),
                   [](double e) { return std::fabs(e); });
    std::sort(magnitude.begin(), magnitude.end());
    const double length = times.back() - times.front();
    const auto [least, most] = std::minmax_element(errors.begin(), errors.end());
    std::printf("clock %+.2f %%: %zu edges, error %+.3f to %+.3f ms (median |e| %.3f, p99 %.3f), "
                "frame %.4f s (110.5920 due, %+.2f ms), clock measured %+.0f ppm, %d latched "
                "late by the board, %d queued late\n",
                error * 100, errors.size(), *least, *most, magnitude[magnitude.size() / 2],
                magnitude[magnitude.size() * 99 / 100], length, (length - 110.592) * 1e3,
                port.clockErrorPpm().value_or(0), sequence.late(), sequence.queuedLate());
    return magnitude.back() <= 1.0 && std::fabs(length - 110.592) <= 0.005;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::vector<double> errors;
    for (int i = 1; i < argc; ++i) errors.push_back(std::atof(argv[i]) / 100);
    if (errors.empty()) errors = {-0.005, 0.005};
    bool met = true;
    for (double e : errors) met = frame(e) && met;
    std::printf(met ? "targets met\n" : "targets missed\n");
    return 0;
}
