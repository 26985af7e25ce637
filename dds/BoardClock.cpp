#include "BoardClock.h"

#include "core/Error.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace kalimor::dds {

namespace {

timespec toTimespec(std::chrono::nanoseconds ns) {
    return {static_cast<time_t>(ns.count() / 1'000'000'000),
            static_cast<long>(ns.count() % 1'000'000'000)};
}

} // namespace

SystemBoardClock::SystemBoardClock()
    : m_timer(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {
    if (m_timer < 0)
        m_problem = QStringLiteral("the board's clock (timerfd_create) could not be made: %1")
                        .arg(QString::fromLocal8Bit(std::strerror(errno)));
}

SystemBoardClock::~SystemBoardClock() {
    if (m_timer >= 0) ::close(m_timer);
}

void SystemBoardClock::arm(Clock::time_point first, Clock::duration period) {
    itimerspec when{};
    // A time already past would disarm the timer: one nanosecond after the
    // epoch fires at once instead.
    const auto at =
        std::max(std::chrono::duration_cast<std::chrono::nanoseconds>(first.time_since_epoch()),
                 std::chrono::nanoseconds(1));
    when.it_value = toTimespec(at);
    when.it_interval = toTimespec(std::chrono::duration_cast<std::chrono::nanoseconds>(period));
    if (::timerfd_settime(m_timer, TFD_TIMER_ABSTIME, &when, nullptr) != 0)
        throw Error(err::PortAccess, QStringLiteral("Board"),
                    QStringLiteral("the board's clock (timerfd_settime) could not be armed: %1")
                        .arg(QString::fromLocal8Bit(std::strerror(errno))));
}

void SystemBoardClock::disarm() {
    // Disarming a timerfd we own cannot fail.
    const itimerspec off{};
    ::timerfd_settime(m_timer, TFD_TIMER_ABSTIME, &off, nullptr);
}

std::uint64_t SystemBoardClock::take() {
    std::uint64_t expirations = 0;
    if (::read(m_timer, &expirations, sizeof expirations) != sizeof expirations) return 0;
    return expirations;
}

VirtualBoardClock::VirtualBoardClock()
    : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), m_now(Clock::now()) {
    if (m_fd < 0)
        m_problem = QStringLiteral("the board's virtual clock (eventfd) could not be made: %1")
                        .arg(QString::fromLocal8Bit(std::strerror(errno)));
}

VirtualBoardClock::~VirtualBoardClock() {
    if (m_fd >= 0) ::close(m_fd);
}

void VirtualBoardClock::arm(Clock::time_point first, Clock::duration period) {
    std::lock_guard lock(m_mutex);
    m_due = first;
    m_period = period;
    m_armed = true;
    signal();
}

void VirtualBoardClock::disarm() {
    std::lock_guard lock(m_mutex);
    m_armed = false;
    drain();
}

std::uint64_t VirtualBoardClock::take() {
    std::lock_guard lock(m_mutex);
    drain();
    if (!m_armed) return 0;
    if (m_now.load() < m_due) m_now = m_due;
    if (m_period > Clock::duration::zero()) {
        m_due += m_period;
        signal();
    } else {
        m_armed = false;
    }
    return 1;
}

void VirtualBoardClock::signal() {
    const std::uint64_t one = 1;
    // An eventfd's counter cannot overflow from these few writes.
    [[maybe_unused]] const auto n = ::write(m_fd, &one, sizeof one);
}

void VirtualBoardClock::drain() {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto n = ::read(m_fd, &count, sizeof count);
}

} // namespace kalimor::dds
