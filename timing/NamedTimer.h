#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

namespace kalimor {

struct SharedTimerState;

// A named, manual-reset timer shared by every process of the same user that
// opens the same name: the equivalent of a Windows waitable timer, built on a
// POSIX shared-memory object (mode 0600) that holds a process-shared robust
// mutex, a condition variable on the monotonic clock, the due time, the
// signalled state and the process id of each open handle.
//
// Each user's timers are apart: the object's name carries the user id and a
// hash of the whole timer name, and only an object the user owns and nobody
// else may write is opened; one taken by another user makes way for the next
// of a few fixed alternative names. An object whose holders have all died is
// taken as new, one whose creator died before it was made is made again, and
// no lock is waited on for more than a moment. The last live handle to close
// removes the object.
class NamedTimer {
public:
    static constexpr std::uint32_t WaitObject0 = 0;
    static constexpr std::uint32_t WaitTimeout = 258;
    static constexpr std::uint32_t WaitFailed = 0xFFFFFFFFu;
    static constexpr std::uint32_t Infinite = 0xFFFFFFFFu;

    static constexpr int MaxHolders = 64;

    // Creates the timer or opens the existing one of that name; null, with
    // the reason in `why` when given, when neither can be done. `existed`
    // tells which happened.
    static std::unique_ptr<NamedTimer> open(const QString& name, bool* existed,
                                            QString* why = nullptr);
    ~NamedTimer();

    // Arms the timer: a negative due time counts 100-ns units from now, zero or
    // a positive one is already due. Replaces any due time pending, for every
    // holder, and makes the timer non-signalled until it fires.
    void set(std::int64_t dueTime100ns);
    // 0 when signalled, 258 when a poll (timeoutMs 0) finds it pending or
    // unarmed, 0xFFFFFFFF on failure. Infinite waits until it fires.
    std::uint32_t wait(std::uint32_t timeoutMs);
    // Live holders currently open on this timer, in all processes.
    int handles();
    // Runs `fn` while holding the timer's lock.
    void withLock(const std::function<void()>& fn);

    // The object's name in /dev/shm for a timer name: the first choice, or
    // the alternative `attempt` (1 to 7) when another user holds the first.
    static QByteArray objectName(const QString& name, int attempt = 0);

private:
    NamedTimer(SharedTimerState* state, QByteArray objectName);
    bool lock();
    void unlock();
    // Forgets holders whose process is gone; the live ones that remain.
    int pruneDeadHolders();

    SharedTimerState* m_state;
    QByteArray m_objectName;
};

} // namespace kalimor
