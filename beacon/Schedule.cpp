#include "Schedule.h"

#include <sys/timex.h>

#include <cmath>

namespace kalimor::beacon {

namespace {

std::chrono::nanoseconds after(double s) {
    return std::chrono::nanoseconds(std::llround(s * 1e9));
}

} // namespace

std::vector<Tone> wsprTones(const WsprFrame& symbols, double dialHz, double offsetHz) {
    std::vector<Tone> out;
    out.reserve(WsprSymbols + 1);
    for (int k = 0; k < WsprSymbols; ++k)
        out.push_back({after(k * WsprSymbolSeconds),
                       dialHz + offsetHz + (symbols[size_t(k)] - 1.5) * WsprToneSpacingHz, false});
    out.push_back({after(WsprSymbols * WsprSymbolSeconds), dialHz + offsetHz, true});
    return out;
}

std::vector<Tone> morseTones(const std::vector<KeyElement>& elements, double dialHz,
                             double ditSeconds, Keying keying, double shiftHz) {
    std::vector<Tone> out;
    long units = 0;
    for (const KeyElement& e : elements) {
        Tone t;
        t.at = after(units * ditSeconds);
        t.hz = dialHz;
        if (keying == Keying::Dfcw) {
            // Every element is one unit long; a dah is the upper tone.
            t.off = !e.down;
            if (e.dah) t.hz += shiftHz;
            units += e.down ? 1 : e.units;
        } else {
            t.off = keying == Keying::OnOff && !e.down;
            if (keying == Keying::Fsk && e.down) t.hz += shiftHz;
            units += e.units;
        }
        if (!out.empty() && out.back().hz == t.hz && out.back().off == t.off) continue;
        out.push_back(t);
    }
    return out;
}

UtcClock::time_point nextWsprStart(UtcClock::time_point now, std::chrono::milliseconds late) {
    using namespace std::chrono;
    const auto minute = floor<minutes>(now);
    auto start = minute - minutes(minute.time_since_epoch().count() % 2) + seconds(1);
    while (now > start + late) start += minutes(2);
    return start;
}

bool transmitThisFrame(std::mt19937& random, int percent) {
    return std::uniform_int_distribution<int>(0, 99)(random) < percent;
}

std::optional<QString> clockProblem() {
    timex tx{};
    const int state = ::adjtimex(&tx);
    if (state == TIME_ERROR || (tx.status & STA_UNSYNC))
        return QStringLiteral("the system clock is not synchronised (start NTP: "
                              "systemd-timesyncd or chrony); --ignore-clock sends anyway");
    if (tx.esterror >= 500000)
        return QStringLiteral("the system clock's estimated error is %1 s, 0.5 s or more; "
                              "--ignore-clock sends anyway")
            .arg(tx.esterror / 1e6, 0, 'f', 2);
    return std::nullopt;
}

} // namespace kalimor::beacon
