#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>

class QSocketNotifier;

namespace kalimor {

// A periodic timer whose schedule does not drift: tick n is due at
// start + n x period, whatever the event loop's delays were. Ticks are
// delivered on the thread that owns the clock. A tick that comes more than a
// whole period late is dropped and counted rather than delivered in a burst,
// so the output keeps its rate.
//
// On Linux the schedule is kept by the kernel (a timerfd armed at absolute
// times), which wakes the event loop to within tens of microseconds; QTimer's
// millisecond granularity would cost up to a millisecond on every tick.
class SweepClock : public QObject {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;

    explicit SweepClock(std::chrono::nanoseconds period = std::chrono::milliseconds(10),
                        QObject* parent = nullptr);
    ~SweepClock() override;

    void setEnabled(bool enabled);
    bool isEnabled() const { return m_enabled; }
    std::chrono::nanoseconds period() const { return m_period; }

    // Ticks dropped because they were more than a period late.
    std::int64_t missed() const { return m_missed; }
    // When the tick being delivered was due.
    Clock::time_point due() const { return m_start + m_period * m_n; }

Q_SIGNALS:
    void tick();

private:
    void deliver(std::int64_t expirations);
    void armFallback();

    std::chrono::nanoseconds m_period;
    bool m_enabled = false;
    Clock::time_point m_start;
    std::int64_t m_n = 0;
    std::int64_t m_missed = 0;

    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    QTimer m_fallback; // where no timerfd can be had
};

} // namespace kalimor
