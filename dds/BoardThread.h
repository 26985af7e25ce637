#pragma once

#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace kalimor::dds {

class BoardClock;

// The board's own thread: a plain loop, no event loop of the toolkit, that
// waits on the jobs other threads hand it (an eventfd wakes it) and on the
// board's clock. A job from another thread waits for its answer, exceptions
// included; a job while the board keeps no time may run on the caller's own
// thread instead (runHereIfIdle). Whoever acts on the board's state holds
// the board's lock: the thread from each wake-up to its next poll, or a
// caller loading in its stead.
class BoardThread {
public:
    // What the loop does for the board, under the board's lock.
    class Handler {
    public:
        virtual ~Handler() = default;
        // At every wake-up, before anything else (the keyed port's keep-alive).
        virtual void woke() = 0;
        // The clock fired `expirations` times (0: it was read but had not).
        virtual void clockFired(std::uint64_t expirations) = 0;
        // How long the loop may sleep with nothing to do, in ms; -1 forever.
        virtual int idleTimeoutMs() const = 0;
        // A sweep keeps time: the loop goes back to its poll at once.
        virtual bool sweepRunning() const = 0;
        // A sweep or a sequence keeps time: loads go through the thread.
        virtual bool busy() const = 0;
    };

    // Starts the loop, unless the eventfd or the clock cannot be made: then
    // every job raises why (told on stderr once) rather than wait forever.
    BoardThread(Handler& handler, BoardClock& clock);
    ~BoardThread();
    BoardThread(const BoardThread&) = delete;
    BoardThread& operator=(const BoardThread&) = delete;

    // Runs `f` on the board's thread and waits for it; rethrows what it threw.
    void onThread(const std::function<void()>& f) const;
    // Runs `f` at once on this thread when the board is idle and free;
    // false, with nothing run, when it must go to the board's thread.
    bool runHereIfIdle(const std::function<void()>& f);
    // Why the thread could not start; empty when it runs.
    const QString& problem() const { return m_problem; }

private:
    // Each waiting caller is woken on its own condition, not by a broadcast
    // to every waiter; a job takes microseconds, so the caller first watches
    // `finished` for a moment rather than paying for a sleep and a wake-up.
    struct Job {
        std::function<void()> run;
        std::exception_ptr failure;
        std::mutex mutex;
        std::condition_variable woken;
        bool done = false;
        std::atomic<bool> finished{false};
    };
    void loop();
    void runJobs();
    bool jobsWaiting() const;
    void watch();
    [[noreturn]] void raiseProblem() const;

    Handler& m_handler;
    BoardClock& m_clock;
    QString m_problem;
    int m_wake = -1; // eventfd: jobs are waiting
    // The board's thread is looking at the queue by itself for a moment after
    // its last job, so a caller need not wake it (a burst of network sets).
    std::atomic<bool> m_watching{false};
    std::atomic<bool> m_quit{false};
    mutable std::mutex m_jobsMutex;
    mutable std::deque<Job*> m_jobs;
    mutable std::atomic<int> m_jobCount{0}; // m_jobs.size(), to watch without the lock
    std::mutex m_own;
    std::atomic<std::thread::id> m_owner{};
    std::thread m_thread; // last: it starts once everything above is made
};

} // namespace kalimor::dds
