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
// mutex, a condition variable on the monotonic clock, the due time and the
// signalled state. The last handle to close removes the object.
class NamedTimer {
public:
    static constexpr std::uint32_t WaitObject0 = 0;
    static constexpr std::uint32_t WaitTimeout = 258;
    static constexpr std::uint32_t WaitFailed = 0xFFFFFFFFu;
    static constexpr std::uint32_t Infinite = 0xFFFFFFFFu;

    // Creates the timer or opens the existing one of that name; null when
    // neither can be done. `existed` tells which happened.
    static std::unique_ptr<NamedTimer> open(const QString& name, bool* existed);
    ~NamedTimer();

    // Arms the timer: a negative due time counts 100-ns units from now, zero or
    // a positive one is already due. Replaces any due time pending, for every
    // holder, and makes the timer non-signalled until it fires.
    void set(std::int64_t dueTime100ns);
    // 0 when signalled, 258 when a poll (timeoutMs 0) finds it pending or
    // unarmed, 0xFFFFFFFF on failure. Infinite waits until it fires.
    std::uint32_t wait(std::uint32_t timeoutMs);
    // Holders currently open on this timer, in all processes.
    int handles();
    // Runs `fn` while holding the timer's lock.
    void withLock(const std::function<void()>& fn);

    // The object's name in /dev/shm for a timer name.
    static QByteArray objectName(const QString& name);

private:
    NamedTimer(SharedTimerState* state, QByteArray objectName);
    bool lock();
    void unlock();

    SharedTimerState* m_state;
    QByteArray m_objectName;
};

} // namespace kalimor
