#pragma once

#include "core/Error.h"

#include <QMetaType>

#include <chrono>
#include <cstdint>
#include <optional>

namespace kalimor::dds {

class BoardClock;

// What the board holds: the last load that reached it.
struct Held {
    std::int32_t word = 0;
    std::int16_t phase = 0;
    std::int16_t powerDown = 0;
    bool any = false; // nothing has reached the board yet
};

// What a sweep needs for its ticks; the sweep window hands in a new plan
// whenever a limit, the increment or the clock changes, and the next tick
// uses it.
struct SweepPlan {
    int high = 0, low = 0;  // scroll steps
    int increment = 1;      // scroll steps per tick
    double scrollScale = 1; // scroll steps per display unit
    double freqMult = 1;    // Hz per display unit
    double refClkHz = 0;
    std::int16_t phase = 0, powerDown = 0;
};

// What one tick did.
struct SweepTick {
    int position = 0; // scroll steps
    double hz = 0;
    std::int32_t word = 0;
    std::optional<Error> failure; // why nothing was sent
    std::int64_t ticks = 0;       // since Start
    std::int64_t missed = 0;      // ticks the clock had to drop, since Start
};

// A word due at `at` from a sequence's start (the beacon's symbols and key
// edges).
struct TimedWord {
    std::chrono::nanoseconds at{0};
    std::int32_t word = 0;
    std::int16_t phase = 0, powerDown = 0;
};

// How a sequence went: the words sent, the latest any was latched after
// its time, and why it ended early (a failed load, or Stop).
struct SequenceReport {
    int sent = 0, total = 0;
    std::chrono::nanoseconds worstLate{0};
    bool stopped = false;
    std::optional<Error> failure;
};

// What the board lends its timed drivers (the sweeps, the sequences), which
// run on the board's thread only.
class DriverHost {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~DriverHost() = default;
    // Loads a word through the board's port as any load goes; raises
    // Overflow or what the port raised.
    virtual void write(std::int32_t word, std::int16_t phase, std::int16_t powerDown) = 0;
    // The control byte a load of `phase` and `powerDown` carries on this chip.
    virtual std::uint8_t controlByte(std::int16_t phase, std::int16_t powerDown) const = 0;
    // What the board holds after a load that went out another way than
    // write (a timed queue latched it).
    virtual void setHeld(const Held& held) = 0;
    virtual BoardClock& clock() = 0;
    // When a timed load was due and when it had gone out (for the benchmark).
    virtual void observe(Clock::time_point due, Clock::time_point sent) = 0;
    virtual void tellSwept(const SweepTick& tick) = 0;
    virtual void tellSequenceDone(const SequenceReport& report) = 0;
};

} // namespace kalimor::dds

Q_DECLARE_METATYPE(kalimor::dds::SweepTick)
Q_DECLARE_METATYPE(kalimor::dds::SequenceReport)
