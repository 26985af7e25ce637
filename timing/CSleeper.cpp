#include "CSleeper.h"

#include "core/Error.h"
#include "timing/NamedTimer.h"

#include <cmath>
#include <unistd.h>

namespace kalimor {

namespace {

Error sleeperError(std::int32_t number, const char* text) {
    return Error(number, QStringLiteral("fSleeper"), QLatin1String(text));
}

} // namespace

CSleeper::CSleeper() : m_name(QStringLiteral("MySleeperName") + QString::number(::getpid())) {}

CSleeper::~CSleeper() = default; // closing the handle is the timer's destructor

void CSleeper::store(double seconds) {
    if (!std::isfinite(seconds)) throw overflowError(QStringLiteral("fSleeper"));
    m_delay = seconds;
}

double CSleeper::read(double value) {
    if (!std::isfinite(value)) throw overflowError(QStringLiteral("fSleeper"));
    return value;
}

void CSleeper::setDelayNanoSeconds(double value) {
    store(value * 1e-9);
}
void CSleeper::setDelayMilliSeconds(double value) {
    store(value * 0.001);
}
void CSleeper::setDelaySeconds(double value) {
    store(value);
}
void CSleeper::setDelayMinutes(double value) {
    store(value * 60);
}
void CSleeper::setDelayHours(double value) {
    store(value * 60 * 60);
}

std::int64_t CSleeper::dueTime(double seconds) {
    const double units = std::nearbyint(seconds * 1000 * 10000);
    // The due time is -units: 2^63 does not fit, and -2^63 fits but its
    // negation does not, so both ends are open.
    if (!std::isfinite(units) || units >= 9223372036854775808.0 || units <= -9223372036854775808.0)
        throw overflowError(QStringLiteral("fSleeper"));
    return -static_cast<std::int64_t>(units);
}

void CSleeper::Init() {
    if (m_timer) throw sleeperError(ErrAlreadyInitialized, "Sleeper has already been Initialized");
    bool existed = false;
    QString why;
    m_timer = NamedTimer::open(m_name, &existed, &why);
    // Said here, where the caller can act on it, rather than at the next sleep.
    if (!m_timer)
        throw Error(ErrNoTimer, QStringLiteral("fSleeper"),
                    QStringLiteral("Sleeper cannot have its timer: %1").arg(why));
    if (m_timer && existed) return DoSleep(true, 0);
    if (m_timer) m_timer->set(-1); // fires at once and stays signalled: idle
}

void CSleeper::SleepTime(double seconds) {
    DoSleep(false, seconds);
}

void CSleeper::DoSleep(bool join, double delay) {
    if (!m_timer) throw sleeperError(ErrNotInitialized, "Sleeper hasn't been initialized");
    if (delay == 0) delay = m_delay;
    if (delay == 0) throw sleeperError(ErrNoDelay, "No Delay was set");
    if (join && m_timer->wait(0) == NamedTimer::WaitObject0) return;
    const std::int64_t due = dueTime(delay);
    if (m_timer->wait(0) != NamedTimer::WaitFailed) m_timer->set(due);
    m_timer->wait(NamedTimer::Infinite);
    for (const auto& handler : m_wakeUp) handler();
}

} // namespace kalimor
