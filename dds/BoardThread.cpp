#include "BoardThread.h"

#include "core/Error.h"
#include "dds/BoardClock.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace kalimor::dds {

namespace {

using Clock = std::chrono::steady_clock;

// How long a caller watches for its answer, and the board's thread for the
// next job, before each goes to sleep: a load on the simulated board or a
// parallel port takes a few microseconds, a sleep and a wake-up about as many.
constexpr auto WatchFor = std::chrono::microseconds(50);

} // namespace

BoardThread::BoardThread(Handler& handler, BoardClock& clock)
    : m_handler(handler), m_clock(clock), m_problem(clock.problem()) {
    if (m_problem.isEmpty()) {
        m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_wake < 0)
            m_problem = QStringLiteral("the board's thread (eventfd) could not be made: %1")
                            .arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (!m_problem.isEmpty()) {
        // Without its descriptors the loop would never wake: every caller
        // is told why instead, and the user once here.
        std::fprintf(stderr, "kalimor: %s\n", qPrintable(m_problem));
        return;
    }
    m_thread = std::thread([this] { loop(); });
}

BoardThread::~BoardThread() {
    if (m_thread.joinable()) {
        m_quit = true;
        const std::uint64_t one = 1;
        if (::write(m_wake, &one, sizeof one) < 0) {
            // The loop also wakes for the clock; without either it would hang.
        }
        m_thread.join();
    }
    if (m_wake >= 0) ::close(m_wake);
}

void BoardThread::raiseProblem() const {
    throw Error(err::PortAccess, QStringLiteral("Board"), m_problem);
}

void BoardThread::loop() {
    pthread_setname_np(pthread_self(), "board");
    pollfd fds[2] = {{m_wake, POLLIN, 0}, {m_clock.fd(), POLLIN, 0}};
    while (!m_quit) {
        const int ready = ::poll(fds, 2, m_handler.idleTimeoutMs());
        std::unique_lock own(m_own);
        m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
        m_handler.woke();
        if (ready <= 0) { // EINTR, or the keep-alive's turn
            m_owner.store({}, std::memory_order_relaxed);
            continue;
        }
        if (fds[1].revents & POLLIN) m_handler.clockFired(m_clock.take());
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            if (::read(m_wake, &count, sizeof count) < 0) {
                // Nothing to read: another wake-up took it; the queue says what to do.
            }
            runJobs();
            m_owner.store({}, std::memory_order_relaxed);
            own.unlock();
            watch();
            continue;
        }
        m_owner.store({}, std::memory_order_relaxed);
    }
    std::lock_guard own(m_own);
    runJobs(); // no caller may be left waiting
}

bool BoardThread::jobsWaiting() const {
    return m_jobCount.load(std::memory_order_acquire) > 0;
}

void BoardThread::watch() {
    // A caller that finds the board watching does not write the eventfd; the
    // second look after the store catches one that came just before it.
    // The clock is read once every so many looks: reading it was most of
    // what a watch cost.
    m_watching.store(true);
    const auto ownAndRun = [this] {
        std::lock_guard own(m_own);
        m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
        runJobs();
        m_owner.store({}, std::memory_order_relaxed);
    };
    for (auto until = Clock::now() + WatchFor; !m_quit && !m_handler.sweepRunning();) {
        bool ran = false;
        for (int look = 0; look < 64; ++look)
            if (jobsWaiting()) {
                ownAndRun();
                ran = true;
                break;
            }
        const auto now = Clock::now();
        if (ran)
            until = now + WatchFor;
        else if (now >= until)
            break;
    }
    m_watching.store(false);
    ownAndRun();
}

void BoardThread::runJobs() {
    for (;;) {
        Job* job = nullptr;
        {
            std::lock_guard lock(m_jobsMutex);
            if (m_jobs.empty()) return;
            job = m_jobs.front();
            m_jobs.pop_front();
            m_jobCount.fetch_sub(1, std::memory_order_relaxed);
        }
        try {
            job->run();
        } catch (...) {
            job->failure = std::current_exception();
        }
        // Notified under the job's lock: the caller cannot return (and take
        // the job off its stack) before this thread is done with it.
        std::lock_guard lock(job->mutex);
        job->done = true;
        job->finished.store(true, std::memory_order_release);
        job->woken.notify_one();
    }
}

bool BoardThread::runHereIfIdle(const std::function<void()>& f) {
    if (!m_problem.isEmpty()) raiseProblem();
    // Jobs already queued go first, in order, on the board's thread.
    if (jobsWaiting() || !m_own.try_lock()) return false;
    std::lock_guard own(m_own, std::adopt_lock);
    if (m_handler.busy() || jobsWaiting()) return false;
    m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    struct Disown {
        std::atomic<std::thread::id>& owner;
        ~Disown() { owner.store({}, std::memory_order_relaxed); }
    } disown{m_owner};
    f();
    return true;
}

void BoardThread::onThread(const std::function<void()>& f) const {
    if (!m_problem.isEmpty()) raiseProblem();
    // On the board's thread, or on a thread loading in its stead (a job
    // that asks the board again).
    if (std::this_thread::get_id() == m_thread.get_id() ||
        m_owner.load(std::memory_order_relaxed) == std::this_thread::get_id())
        return f();
    Job job;
    job.run = f;
    {
        std::lock_guard lock(m_jobsMutex);
        m_jobs.push_back(&job);
        m_jobCount.fetch_add(1, std::memory_order_release);
    }
    // Paired with the loop's store of false and its second look at the queue:
    // either the loop sees this job, or this caller sees it is not watching.
    if (!m_watching.load()) {
        const std::uint64_t one = 1;
        if (::write(m_wake, &one, sizeof one) < 0) {
            // The counter is saturated only if the board is far behind; it will come.
        }
    }
    for (auto until = Clock::now() + WatchFor; !job.finished.load(std::memory_order_acquire);) {
        bool done = false;
        for (int look = 0; look < 64 && !done; ++look)
            done = job.finished.load(std::memory_order_acquire);
        if (done || Clock::now() > until) break;
    }
    std::unique_lock lock(job.mutex);
    job.woken.wait(lock, [&] { return job.done; });
    if (job.failure) std::rethrow_exception(job.failure);
}

} // namespace kalimor::dds
