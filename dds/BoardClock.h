#pragma once

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace kalimor::dds {

// The board's sense of time: what "now" is, and one timer the board's thread
// waits on, armed at absolute times. The real one reads CLOCK_MONOTONIC and
// arms a timerfd; a test may hand the board a clock it drives itself.
class BoardClock {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~BoardClock() = default;
    virtual Clock::time_point now() const = 0;
    // Fires at `first` (at once when it is past), then every `period`; a
    // zero period fires once. Raises kalimor::Error when it cannot be armed.
    virtual void arm(Clock::time_point first, Clock::duration period) = 0;
    virtual void disarm() = 0;
    // A descriptor the board's thread polls: readable once the timer fired.
    virtual int fd() const = 0;
    // How many times the timer fired since the last call: 0 when it did not.
    virtual std::uint64_t take() = 0;
    // Why the clock cannot work (its descriptor could not be made); empty
    // when it can.
    virtual QString problem() const = 0;
};

// CLOCK_MONOTONIC, which steady_clock reads, and a timerfd on it: the kernel
// keeps a periodic schedule (tick n at first + n x period) without drift.
class SystemBoardClock final : public BoardClock {
public:
    SystemBoardClock();
    ~SystemBoardClock() override;
    Clock::time_point now() const override { return Clock::now(); }
    void arm(Clock::time_point first, Clock::duration period) override;
    void disarm() override;
    int fd() const override { return m_timer; }
    std::uint64_t take() override;
    QString problem() const override { return m_problem; }

private:
    int m_timer = -1;
    QString m_problem;
};

// A clock driven by the board itself: time stands still until the board's
// thread arms the timer, then jumps to the armed time at once, so a
// sequence's words go out one after the other as fast as the thread sends
// them, each at exactly its due time as the board sees it: a 110.592 s WSPR
// frame takes milliseconds. It starts at the real clock's now. For the tests
// and the simulated board only: on a real board it would key a carrier at
// the wrong times.
class VirtualBoardClock final : public BoardClock {
public:
    VirtualBoardClock();
    ~VirtualBoardClock() override;
    Clock::time_point now() const override { return m_now.load(); }
    void arm(Clock::time_point first, Clock::duration period) override;
    void disarm() override;
    int fd() const override { return m_fd; }
    std::uint64_t take() override;
    QString problem() const override { return m_problem; }

private:
    void signal();
    void drain();

    int m_fd;
    QString m_problem;
    std::atomic<Clock::time_point> m_now;
    std::mutex m_mutex;
    Clock::time_point m_due;
    Clock::duration m_period{};
    bool m_armed = false;
};

} // namespace kalimor::dds
