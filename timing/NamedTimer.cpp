#include "NamedTimer.h"

#include <atomic>
#include <cerrno>
#include <chrono>
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
    std::int32_t handles;
};

namespace {

constexpr std::uint32_t Ready = 0x4B534C50; // "KSLP"

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

QByteArray NamedTimer::objectName(const QString& name) {
    // Only characters that are safe in a file name; the rest as hex escapes.
    QByteArray out = "/kalimor-timer-";
    for (char c : name.toUtf8()) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
            u == '-' || u == '.')
            out += c;
        else
            out += '_' + QByteArray::number(u, 16).rightJustified(2, '0');
    }
    return out.left(250);
}

std::unique_ptr<NamedTimer> NamedTimer::open(const QString& name, bool* existed) {
    const QByteArray object = objectName(name);
    *existed = false;
    int fd = shm_open(object.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        fchmod(fd, 0600);
        SharedTimerState* s = nullptr;
        if (ftruncate(fd, sizeof(SharedTimerState)) == 0) s = map(fd);
        close(fd);
        if (!s) {
            shm_unlink(object.constData());
            return nullptr;
        }
        pthread_mutexattr_t ma;
        pthread_mutexattr_init(&ma);
        pthread_mutexattr_setpshared(&ma, PTHREAD_PROCESS_SHARED);
        // A holder that dies inside the lock must not wedge everyone else.
        pthread_mutexattr_setrobust(&ma, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_init(&s->mutex, &ma);
        pthread_mutexattr_destroy(&ma);
        pthread_condattr_t ca;
        pthread_condattr_init(&ca);
        pthread_condattr_setpshared(&ca, PTHREAD_PROCESS_SHARED);
        pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
        pthread_cond_init(&s->cond, &ca);
        pthread_condattr_destroy(&ca);
        s->pending = 0;
        s->signalled = 0;
        s->handles = 1;
        s->ready.store(Ready, std::memory_order_release);
        return std::unique_ptr<NamedTimer>(new NamedTimer(s, object));
    }
    if (errno != EEXIST) return nullptr;
    fd = shm_open(object.constData(), O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    struct stat st {};
    SharedTimerState* s = nullptr;
    // The creator may still be sizing it; give it a moment.
    for (int i = 0; i < 200 && fstat(fd, &st) == 0 &&
                    st.st_size < static_cast<off_t>(sizeof(SharedTimerState));
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (st.st_size >= static_cast<off_t>(sizeof(SharedTimerState))) s = map(fd);
    close(fd);
    if (!s) return nullptr;
    for (int i = 0; i < 200 && s->ready.load(std::memory_order_acquire) != Ready; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (s->ready.load(std::memory_order_acquire) != Ready) {
        munmap(s, sizeof(SharedTimerState));
        return nullptr;
    }
    std::unique_ptr<NamedTimer> timer(new NamedTimer(s, object));
    if (!timer->lock()) return nullptr;
    ++s->handles;
    timer->unlock();
    *existed = true;
    return timer;
}

NamedTimer::NamedTimer(SharedTimerState* state, QByteArray objectName)
    : m_state(state), m_objectName(std::move(objectName)) {}

NamedTimer::~NamedTimer() {
    if (lock()) {
        if (--m_state->handles <= 0) shm_unlink(m_objectName.constData());
        unlock();
    }
    munmap(m_state, sizeof(SharedTimerState));
}

bool NamedTimer::lock() {
    const int rc = pthread_mutex_lock(&m_state->mutex);
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
    const int n = m_state->handles;
    unlock();
    return n;
}

void NamedTimer::withLock(const std::function<void()>& fn) {
    if (!lock()) return;
    fn();
    unlock();
}

} // namespace kalimor
