#pragma once

#include "dds/SerialLine.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>

namespace kalimor::dds {

// The bridge's clock against ours: every answer that carries the board's
// time (the queue's, the time's) is a sample, and a straight line fitted
// over the last Window maps our time to the board's microseconds
// (unwrapped: they count on past 2^32). A resonator is good to about 0.5 %;
// the fit takes that out of the queue's due times. A frame the host or the
// USB chip held up reads the board's clock late, never early, so the line
// goes through the earliest reading of each Bin.
class ClockFit {
public:
    using Clock = SerialLine::Clock;
    static constexpr std::chrono::seconds Window{10};
    static constexpr std::chrono::seconds MinSpan{1};
    static constexpr std::chrono::milliseconds Bin{250};
    static constexpr double MaxErrorPpm = 20000;

    // The board's clock read as of a frame sent at `sent`.
    void add(Clock::time_point sent, std::uint32_t boardUs);
    // A reset board's clock starts again.
    void clear();
    std::optional<double> boardAt(Clock::time_point t) const;
    // Board microseconds per microsecond of ours; 1 until the samples span
    // MinSpan.
    double ratio() const;
    std::optional<double> errorPpm() const;

private:
    void refit();
    struct Sample {
        Clock::time_point host;
        double boardUs; // unwrapped
        std::uint32_t raw;
    };
    std::deque<Sample> m_samples;
    struct Line {
        Clock::time_point origin;
        double hostUs = 0, boardUs = 0; // the line's centre, host microseconds from origin
        std::optional<double> ppm;      // once the samples span MinSpan
    };
    std::optional<Line> m_line;
};

} // namespace kalimor::dds
