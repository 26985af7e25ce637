#include "BoardClock.h"

#include "core/Error.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
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
    const itimerspec off{};
    ::timerfd_settime(m_timer, TFD_TIMER_ABSTIME, &off,
                      nullptr); // disarming a timerfd we own cannot fail
}

std::uint64_t SystemBoardClock::take() {
    std::uint64_t expirations = 0;
    if (::read(m_timer, &expirations, sizeof expirations) != sizeof expirations) return 0;
    return expirations;
}

} // namespace kalimor::dds
