#include "Realtime.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>

#include <algorithm>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kalimor::dds {

namespace {

// Well above the desktop, well below the kernel's own real-time threads.
constexpr int WantedPriority = 20;

} // namespace

QString makeThreadRealtime() {
    rlimit rtprio{};
    getrlimit(RLIMIT_RTPRIO, &rtprio);
    const bool privileged = ::geteuid() == 0;
    const int allowed =
        privileged ? WantedPriority : int(std::min<rlim_t>(WantedPriority, rtprio.rlim_cur));
    if (allowed > 0) {
        sched_param p{};
        p.sched_priority = allowed;
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0)
            return QStringLiteral("real-time (SCHED_FIFO %1)").arg(allowed);
    }

    QDBusConnection bus = QDBusConnection::systemBus();
    if (bus.isConnected()) {
        QDBusInterface rtkit(QStringLiteral("org.freedesktop.RealtimeKit1"),
                             QStringLiteral("/org/freedesktop/RealtimeKit1"),
                             QStringLiteral("org.freedesktop.RealtimeKit1"), bus);
        const int most = rtkit.property("MaxRealtimePriority").toInt();
        const int priority = std::min(WantedPriority, most);
        // RealtimeKit serves only processes that limit their real-time CPU
        // time, so that a runaway thread cannot freeze the machine.
        const long long rttime = rtkit.property("RTTimeUSecMax").toLongLong();
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = rlim_t(rttime > 0 ? rttime : 200000);
        if (priority > 0 && setrlimit(RLIMIT_RTTIME, &limit) == 0) {
            const QDBusReply<void> reply =
                rtkit.call(QStringLiteral("MakeThreadRealtime"), quint64(::syscall(SYS_gettid)),
                           quint32(priority));
            if (reply.isValid())
                return QStringLiteral("real-time via RealtimeKit (%1)").arg(priority);
        }
    }
    return QStringLiteral("normal priority (see README)");
}

} // namespace kalimor::dds
