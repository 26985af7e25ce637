#pragma once

#include "dds/BoardClock.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

// A board clock the test drives: time stands still until the board's thread
// arms the timer, and then jumps to the armed time at once, so a sequence's
// words go out one after the other as fast as the board's thread sends them,
// each at exactly its due time as the board sees it. A 110.592 s WSPR frame
// takes milliseconds. It starts at the real clock's now, so times worked
// out from the real clock (a beacon's start) fall on it.
class VirtualClock final : public kalimor::dds::BoardClock {
public:
    VirtualClock() : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), m_now(Clock::now()) {}
    ~VirtualClock() override { ::close(m_fd); }
    Clock::time_point now() const override { return m_now.load(); }
    void arm(Clock::time_point first, Clock::duration period) override {
        std::lock_guard lock(m_mutex);
        m_due = first;
        m_period = period;
        m_armed = true;
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(m_fd, &one, sizeof one);
    }
    void disarm() override {
        std::lock_guard lock(m_mutex);
        m_armed = false;
        drain();
    }
    int fd() const override { return m_fd; }
    std::uint64_t take() override {
        std::lock_guard lock(m_mutex);
        drain();
        if (!m_armed) return 0;
        if (m_now.load() < m_due) m_now = m_due;
        if (m_period > Clock::duration::zero()) {
            m_due += m_period;
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto n = ::write(m_fd, &one, sizeof one);
        } else {
            m_armed = false;
        }
        return 1;
    }
    QString problem() const override { return m_fd < 0 ? QStringLiteral("no eventfd") : QString(); }

private:
    void drain() {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto n = ::read(m_fd, &count, sizeof count);
    }

    int m_fd;
    std::atomic<Clock::time_point> m_now;
    std::mutex m_mutex;
    Clock::time_point m_due;
    Clock::duration m_period{};
    bool m_armed = false;
};
