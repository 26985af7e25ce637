#pragma once

#include "dds/SweepState.h"
#include "dds/TimedDriver.h"

#include <QString>

#include <atomic>
#include <deque>

namespace kalimor::dds {

class TimedQueue;

// What a sweep under way keeps, whichever driver keeps its time.
struct SweepRun {
    SweepPlan plan;
    SweepState sweep; // where the next tick is
    SweepTick last;
    bool lastFailed = false;
    DriverHost::Clock::time_point lastShown;
};

// Keeps a sweep's ticks in time, on the board's thread: the board's own
// clock (ClockedSweep) or the board's hardware timer behind a timed queue
// (QueuedSweep). The board hands each the run it keeps.
class SweepDriver {
public:
    using Clock = DriverHost::Clock;
    static constexpr std::chrono::milliseconds Period{10};

    SweepDriver(DriverHost& host, SweepRun& run) : m_host(host), m_run(run) {}
    virtual ~SweepDriver() = default;
    // Starts the ticks from the run as it stands (at the plan's low limit);
    // raises when this driver cannot keep them.
    virtual void start() = 0;
    // The board's clock fired `expirations` times since it was last read.
    virtual void clockFired(std::uint64_t expirations) = 0;
    // The run's plan changed: it acts from the next tick.
    virtual void planChanged() {}
    // Ends the ticks; the run's last tick is the last the board took.
    virtual void stop() = 0;

protected:
    // Keeps `t` as the last tick, and tells the window when it is due a readout.
    void show(const SweepTick& t, bool clocked);

    DriverHost& m_host;
    SweepRun& m_run;
};

// Each tick computed and sent from the board's thread at start + n x Period;
// a tick more than a period late is counted as missed, never sent in a burst.
class ClockedSweep final : public SweepDriver {
public:
    using SweepDriver::SweepDriver;
    void start() override;
    void clockFired(std::uint64_t expirations) override;
    void stop() override;
    // Starts with no clock: the ticks come from tick(false) alone (tests that
    // step a sweep).
    void startUnclocked();
    void tick(bool clocked);

private:
    Clock::time_point m_start; // tick n is due at m_start + n x Period
    std::int64_t m_n = 0;
    std::int64_t m_missed = 0;
};

// The ticks queued ahead on a board with a timed queue and latched there by
// its own clock; the board's clock only tops the queue up.
class QueuedSweep final : public SweepDriver {
public:
    using SweepDriver::SweepDriver;
    // The queue the next start uses.
    void useQueue(TimedQueue& queue) { m_queue = &queue; }
    void start() override;
    void clockFired(std::uint64_t expirations) override;
    void planChanged() override;
    void stop() override;
    // "the bridge's own clock (...)" while a sweep runs on the queue; empty
    // otherwise. Read from any thread.
    QString scheduling() const;

private:
    struct Queued {
        std::int64_t n = 0; // the tick's number from the sweep's start
        SweepTick tick;
        SweepState after;        // where the sweep stands once it is sent
        std::uint32_t dueUs = 0; // on the board's clock
        double due = 0;          // the same, unwrapped
    };
    std::int64_t tickNow() const;
    void topUp(std::int64_t nNow);

    TimedQueue* m_queue = nullptr;
    // Our side of the queue's times is the host's real clock, on which the
    // bridge fits the board's.
    Clock::time_point m_hostStart; // tick 0 on our clock
    std::int64_t m_queuedN = 0;
    double m_nextDue = 0; // tick m_queuedN's due time on the board's clock, unwrapped
    std::deque<Queued> m_queued;
    int m_queueOpens = 0;           // the link's open the queue's times belong to
    std::int64_t m_queueMissed = 0; // ticks not queued in time, or lost with the board's queue
    std::int64_t m_confirmedN = -1; // the last tick the board's clock was seen to pass
    std::uint16_t m_lateBase = 0;   // the board's count of late latches at the start
    bool m_lateKnown = false;
    std::int64_t m_lateCount = 0;      // ticks the board latched late since the start
    std::atomic<double> m_queuePpm{0}; // the board's clock error, for the status line; NaN unknown
    std::atomic<bool> m_queueMode{false};
};

} // namespace kalimor::dds
