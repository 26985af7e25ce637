#include "SweepClock.h"

#include <QSocketNotifier>

#include <cerrno>
#include <sys/timerfd.h>
#include <unistd.h>

namespace kalimor {

namespace {

timespec toTimespec(std::chrono::nanoseconds ns) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns.count() / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(ns.count() % 1'000'000'000);
    return ts;
}

} // namespace

SweepClock::SweepClock(std::chrono::nanoseconds period, QObject* parent)
    : QObject(parent), m_period(period) {
    // steady_clock is CLOCK_MONOTONIC, so due() and the kernel agree.
    m_fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd >= 0) {
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] {
            std::uint64_t expirations = 0;
            if (::read(m_fd, &expirations, sizeof expirations) == sizeof expirations &&
                expirations > 0)
                deliver(static_cast<std::int64_t>(expirations));
        });
    } else {
        m_fallback.setSingleShot(true);
        m_fallback.setTimerType(Qt::PreciseTimer);
        connect(&m_fallback, &QTimer::timeout, this, [this] {
            const auto late = Clock::now() - (m_start + m_period * (m_n + 1));
            deliver(1 + late / m_period);
        });
    }
}

SweepClock::~SweepClock() {
    if (m_fd >= 0) ::close(m_fd);
}

void SweepClock::setEnabled(bool enabled) {
    if (enabled == m_enabled) return;
    m_enabled = enabled;
    if (enabled) {
        m_start = Clock::now();
        m_n = 0;
        m_missed = 0;
    }
    if (m_fd >= 0) {
        itimerspec timer{};
        if (enabled) {
            timer.it_value = toTimespec(m_start.time_since_epoch() + m_period);
            timer.it_interval = toTimespec(m_period);
        }
        ::timerfd_settime(m_fd, enabled ? TFD_TIMER_ABSTIME : 0, &timer, nullptr);
        if (!enabled) {
            std::uint64_t stale = 0; // an expiry already pending must not tick after Stop
            (void)!::read(m_fd, &stale, sizeof stale);
        }
    } else if (enabled) {
        armFallback();
    } else {
        m_fallback.stop();
    }
}

void SweepClock::armFallback() {
    using namespace std::chrono;
    const auto wait = ceil<milliseconds>(m_start + m_period * (m_n + 1) - Clock::now());
    m_fallback.start(std::max(wait, milliseconds(0)));
}

void SweepClock::deliver(std::int64_t expirations) {
    if (!m_enabled) return;
    m_n += expirations;
    m_missed += expirations - 1;
    Q_EMIT tick();
    if (m_enabled && m_fd < 0) armFallback();
}

} // namespace kalimor
