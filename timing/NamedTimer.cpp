#include "NamedTimer.h"

#include <QCryptographicHash>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kalimor {

struct SharedTimerState {
    std::atomic<std::uint32_t> ready; // set once the creator has initialised the rest
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    std::int64_t dueNs; // CLOCK_MONOTONIC, valid while pending
    std::int32_t pending;
    std::int32_t signalled;
    std::int32_t holders[NamedTimer::MaxHolders]; // process id of each handle, 0 when free
};

namespace {

constexpr std::uint32_t Ready = 0x4B534C51; // "KSLQ": a layout with holders
constexpr int LockWaitMs = 2000;
constexpr int CreatorWaitMs = 250;

std::int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

timespec toTimespec(std::int64_t ns) {
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

SharedTimerState* map(int fd) {
    void* p = mmap(nullptr, sizeof(SharedTimerState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<SharedTimerState*>(p);
}

} // namespace

QByteArray NamedTimer::objectName(const QString& name, int attempt) {
    // Readable in /dev/shm: the first characters, safe ones kept, the rest as
    // hex escapes; unique: a hash of the whole name, so that two long names
    // never meet where a cut would have made them equal.
    const QByteArray utf8 = name.toUtf8();
    QByteArray readable;
    for (char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
            u == '-' || u == '.')
            readable += c;
        else
            readable += '_' + QByteArray::number(u, 16).rightJustified(2, '0');
        if (readable.size() >= 64) break;
    }
    QByteArray out = "/kalimor-timer-" + QByteArray::number(::geteuid()) + '-' + readable + '-' +
                     QCryptographicHash::hash(utf8, QCryptographicHash::Sha256).toHex().left(32);
    if (attempt > 0) out += '-' + QByteArray::number(attempt);
    return out;
}

namespace {

bool alive(std::int32_t pid) {
    return pid > 0 && (::kill(pid, 0) == 0 || errno != ESRCH);
}

void initialiseCondition(SharedTimerState* s) {
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setpshared(&ca, PTHREAD_PROCESS_SHARED);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&s->cond, &ca);
    pthread_condattr_destroy(&ca);
}

void initialise(SharedTimerState* s) {
    pthread_mutexattr_t ma;
    pthread_mutexattr_init(&ma);
    pthread_mutexattr_setpshared(&ma, PTHREAD_PROCESS_SHARED);
    // A holder that dies inside the lock must not wedge everyone else.
    pthread_mutexattr_setrobust(&ma, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&s->mutex, &ma);
    pthread_mutexattr_destroy(&ma);
    initialiseCondition(s);
    s->pending = 0;
    s->signalled = 0;
    for (auto& h : s->holders) h = 0;
    s->holders[0] = ::getpid();
    s->ready.store(Ready, std::memory_order_release);
}

enum class Found { Ours, Foreign, HalfMade, Failed };

// Opens an existing object if it is this user's alone and fully made.
Found openExisting(const QByteArray& object, SharedTimerState** state, QString* why) {
    const int fd = shm_open(object.constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EACCES) return Found::Foreign;
        *why = QStringLiteral("cannot open %1: %2")
                   .arg(QString::fromUtf8(object), QString::fromLocal8Bit(std::strerror(errno)));
        return errno == ENOENT ? Found::HalfMade : Found::Failed;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
        close(fd);
        return Found::Foreign;
    }
    // The creator may still be sizing and filling it; a moment, no more.
    SharedTimerState* s = nullptr;
    for (int waited = 0; waited <= CreatorWaitMs; ++waited) {
        if (!s && fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(SharedTimerState)))
            s = map(fd);
        if (s && s->ready.load(std::memory_order_acquire) == Ready) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    close(fd);
    if (s && s->ready.load(std::memory_order_acquire) == Ready) {
        *state = s;
        return Found::Ours;
    }
    if (s) munmap(s, sizeof(SharedTimerState));
    return Found::HalfMade;
}

} // namespace

std::unique_ptr<NamedTimer> NamedTimer::open(const QString& name, bool* existed, QString* why) {
    QString reason;
    if (!why) why = &reason;
    *existed = false;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QByteArray object = objectName(name, attempt);
        for (int tries = 0; tries < 3; ++tries) {
            const int fd = shm_open(object.constData(),
                                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd >= 0) {
                fchmod(fd, 0600);
                SharedTimerState* s = nullptr;
                if (ftruncate(fd, sizeof(SharedTimerState)) == 0) s = map(fd);
                close(fd);
                if (!s) {
                    shm_unlink(object.constData());
                    *why = QStringLiteral("cannot make the shared timer %1")
                               .arg(QString::fromUtf8(object));
                    return nullptr;
                }
                initialise(s);
                return std::unique_ptr<NamedTimer>(new NamedTimer(s, object));
            }
            if (errno != EEXIST) {
                *why = QStringLiteral("cannot make the shared timer %1: %2")
                           .arg(QString::fromUtf8(object),
                                QString::fromLocal8Bit(std::strerror(errno)));
                return nullptr;
            }
            SharedTimerState* s = nullptr;
            const Found found = openExisting(object, &s, why);
            if (found == Found::Foreign) break; // another user's: the next name
            if (found == Found::Failed) return nullptr;
            if (found == Found::HalfMade) {
                // Its creator died before making it (or it just vanished):
                // make it again.
                shm_unlink(object.constData());
                continue;
            }
            std::unique_ptr<NamedTimer> timer(new NamedTimer(s, object));
            if (!timer->lock()) {
                timer->m_state = nullptr;
                munmap(s, sizeof(SharedTimerState));
                *why = QStringLiteral("the shared timer %1 is locked by a process that does not "
                                      "let go")
                           .arg(QString::fromUtf8(object));
                return nullptr;
            }
            // Holders that died without closing do not make a timer live: one
            // with none left is taken as new, whatever it was doing.
            if (timer->pruneDeadHolders() == 0) {
                s->pending = 0;
                s->signalled = 0;
                // A waiter that died inside the wait may have left the
                // condition half-used; nobody waits on it now.
                initialiseCondition(s);
            } else {
                *existed = true;
            }
            bool placed = false;
            for (auto& h : s->holders)
                if (h == 0) {
                    h = ::getpid();
                    placed = true;
                    break;
                }
            timer->unlock();
            if (!placed) {
                *existed = false;
                timer->m_state = nullptr;
                munmap(s, sizeof(SharedTimerState));
                *why = QStringLiteral("the shared timer %1 has %2 holders already")
                           .arg(QString::fromUtf8(object))
                           .arg(MaxHolders);
                return nullptr;
            }
            return timer;
        }
    }
    if (why->isEmpty())
        *why = QStringLiteral("every name for the timer \"%1\" is taken by another user").arg(name);
    return nullptr;
}

NamedTimer::NamedTimer(SharedTimerState* state, QByteArray objectName)
    : m_state(state), m_objectName(std::move(objectName)) {}

NamedTimer::~NamedTimer() {
    if (!m_state) return;
    if (lock()) {
        for (auto& h : m_state->holders)
            if (h == ::getpid()) {
                h = 0;
                break;
            }
        if (pruneDeadHolders() == 0) shm_unlink(m_objectName.constData());
        unlock();
    }
    munmap(m_state, sizeof(SharedTimerState));
}

int NamedTimer::pruneDeadHolders() {
    int live = 0;
    for (auto& h : m_state->holders) {
        if (h != 0 && !alive(h)) h = 0;
        live += h != 0;
    }
    return live;
}

bool NamedTimer::lock() {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += LockWaitMs / 1000;
    const int rc = pthread_mutex_timedlock(&m_state->mutex, &deadline);
    if (rc == EOWNERDEAD) {
        // The holder died mid-update; the fields are plain values, so carry on.
        pthread_mutex_consistent(&m_state->mutex);
        return true;
    }
    return rc == 0;
}

void NamedTimer::unlock() {
    pthread_mutex_unlock(&m_state->mutex);
}

void NamedTimer::set(std::int64_t dueTime100ns) {
    if (!lock()) return;
    const std::int64_t now = nowNs();
    std::int64_t delay = dueTime100ns < 0 ? -dueTime100ns : 0;
    // Keep the sum inside 64 bits; a due time centuries ahead is as good as never.
    const std::int64_t limit = (INT64_MAX - now) / 100;
    m_state->dueNs = now + (delay > limit ? limit : delay) * 100;
    m_state->pending = 1;
    m_state->signalled = 0;
    pthread_cond_broadcast(&m_state->cond);
    unlock();
}

std::uint32_t NamedTimer::wait(std::uint32_t timeoutMs) {
    if (!lock()) return WaitFailed;
    std::uint32_t result = WaitFailed;
    for (;;) {
        if (m_state->pending && nowNs() >= m_state->dueNs) {
            m_state->pending = 0;
            m_state->signalled = 1;
            pthread_cond_broadcast(&m_state->cond); // every waiter wakes together
        }
        if (m_state->signalled) {
            result = WaitObject0;
            break;
        }
        if (timeoutMs == 0) {
            result = WaitTimeout;
            break;
        }
        int rc;
        if (m_state->pending) {
            const timespec due = toTimespec(m_state->dueNs);
            rc = pthread_cond_timedwait(&m_state->cond, &m_state->mutex, &due);
        } else {
            rc = pthread_cond_wait(&m_state->cond, &m_state->mutex);
        }
        if (rc == EOWNERDEAD) {
            pthread_mutex_consistent(&m_state->mutex);
        } else if (rc != 0 && rc != ETIMEDOUT) {
            result = WaitFailed;
            break;
        }
    }
    unlock();
    return result;
}

int NamedTimer::handles() {
    if (!lock()) return -1;
    const int n = pruneDeadHolders();
    unlock();
    return n;
}

void NamedTimer::withLock(const std::function<void()>& fn) {
    if (!lock()) return;
    fn();
    unlock();
}

} // namespace kalimor
