#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace kalimor {

class NamedTimer;

// A blocking delay on a named, manual-reset timer. Set a delay in one of the
// units, Init once, then SleepTime as often as needed: each call blocks the
// calling thread until the delay has passed, then raises WakeUp. Sleepers with
// the same name share one timer, across processes too: the latest arming sets
// the due time for every waiter, and they all wake together.
//
// Errors (source "fSleeper"):
//   0x80040202 "No Delay was set"                     a sleep of 0 with no delay stored
//   0x80040203 "Sleeper has already been Initialized"  a second Init
//   0x80040204 "Sleeper hasn't been initialized"       a sleep before Init
//   0x80040205 "Sleeper cannot have its timer: ..."    Init, with the reason; Init
//                                                      may be called again
class CSleeper {
public:
    static constexpr std::int32_t ErrNoDelay = static_cast<std::int32_t>(0x80040202u);
    static constexpr std::int32_t ErrAlreadyInitialized = static_cast<std::int32_t>(0x80040203u);
    static constexpr std::int32_t ErrNotInitialized = static_cast<std::int32_t>(0x80040204u);
    static constexpr std::int32_t ErrNoTimer = static_cast<std::int32_t>(0x80040205u);

    CSleeper();
    ~CSleeper();
    CSleeper(const CSleeper&) = delete;
    CSleeper& operator=(const CSleeper&) = delete;

    // The stored delay, in seconds. A read in a unit too small to hold it
    // raises Overflow, as a write does.
    double Delay() const { return m_delay; }
    double DelayNanoSeconds() const { return read(m_delay / 1e-9); }
    void setDelayNanoSeconds(double value);
    double DelayMilliSeconds() const { return read(m_delay / 0.001); }
    void setDelayMilliSeconds(double value);
    double DelaySeconds() const { return m_delay; }
    void setDelaySeconds(double value);
    double DelayMinutes() const { return m_delay / 60; }
    void setDelayMinutes(double value);
    double DelayHours() const { return m_delay / 60 / 60; }
    void setDelayHours(double value);

    // Used once, by Init; "MySleeperName" followed by the process id by default.
    const QString& SleeperName() const { return m_name; }
    void setSleeperName(const QString& name) { m_name = name; }

    // Creates or joins the named timer. A new timer starts idle; joining one
    // that is pending re-arms it with this sleeper's delay and waits for it.
    void Init();
    // Blocks for `seconds` (0: the stored delay), then raises WakeUp.
    void SleepTime(double seconds);

    // Handlers of the WakeUp event, run on the sleeping thread before
    // SleepTime (or Init) returns.
    void onWakeUp(std::function<void()> handler) { m_wakeUp.push_back(std::move(handler)); }

    // The timer's due time for a delay: -(seconds x 10^7), rounded to even, in
    // 100-ns units. Overflow beyond 64 bits.
    static std::int64_t dueTime(double seconds);

    NamedTimer* timer() const { return m_timer.get(); }

private:
    void DoSleep(bool join, double delay);
    void store(double seconds);
    static double read(double value);

    std::unique_ptr<NamedTimer> m_timer;
    double m_delay = 0;
    QString m_name;
    std::vector<std::function<void()>> m_wakeUp;
};

} // namespace kalimor
