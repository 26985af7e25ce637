#pragma once

#include "dds/Capabilities.h"
#include "dds/SequenceDriver.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace kalimor::dds {

// A timed sequence (a beacon's symbols, a keyer's edges) sent through the
// bridge's timed queue: each word is latched by the board's own timer at its
// time, so neither the USB chip's latency (16 ms on many, and jittery) nor
// the host's load lands in an edge. Each word's time is converted to the
// board's microseconds as it is queued, by the fit of the board's clock
// against ours (TimedQueue::boardAt), so the resonator's error
// (0.5 % is common) is taken out too.
//
// The fit needs a second of samples before it knows the board's rate; until
// then words are queued only a few tens of milliseconds ahead, from the
// latest sample, where 0.5 % is a fraction of a millisecond. The lead grows
// with the fit's span, up to what the board's queue holds.
//
// No word is dropped: one whose time has passed before it could be queued
// (the host was held up longer than the lead) is latched at once, late, and
// counted. A word carries the power-down of a frame's end or a key-up, so
// skipping one could leave a carrier on.
class QueuedSequence {
public:
    using Clock = std::chrono::steady_clock;
    struct Word {
        std::chrono::nanoseconds at{0}; // from the sequence's start
        std::uint32_t word = 0;
        std::uint8_t control = 0;
    };
    // Ahead of its time a word is queued while the fit is young, and at most.
    static constexpr std::chrono::milliseconds YoungLead{50};
    static constexpr std::chrono::milliseconds MaxLead{2000};
    // A word due on the board sooner than this after now is late.
    static constexpr double MinLeadUs = 2000;
    // How long after the last word's time its latch may take to be seen.
    static constexpr std::chrono::seconds ConfirmWait{2};

    // `bridge` must offer the queue (hasQueue) and outlive this.
    QueuedSequence(TimedQueue& bridge, std::vector<Word> words, Clock::time_point start);

    // Queues what falls due within the lead and reads back what the board
    // has latched. Returns when to be called again, or nothing once every
    // word has latched. Raises what the port raised; a board reset or a link
    // opened again mid-sequence (its queue gone) raises too.
    std::optional<Clock::time_point> step();
    // Drops everything still queued on the board, so no word queued ahead
    // latches a carrier later, and returns what the board last latched (the
    // word to power down). Raises what the port raised.
    TimedQueue::Latched flush();

    int total() const { return int(m_words.size()); }
    // Words the board has latched, as it last said.
    int latched() const { return m_latched; }
    // Of those, latched more than 0.5 ms after their time, by the board's count.
    int late() const { return m_late; }
    // Words queued after their time had passed, and the latest by how much
    // (in true time).
    int queuedLate() const { return m_queuedLate; }
    std::chrono::nanoseconds worstQueuedLate() const { return m_worstQueuedLate; }
    // The index of the last word whose time has come, on the board's clock.
    std::optional<std::size_t> current() const;

private:
    // Where the board's clock stands at our `t`, in its microseconds (unwrapped
    // as the fit unwraps them).
    double boardAt(Clock::time_point t) const;
    void sample();
    Clock::duration lead(Clock::time_point now) const;

    TimedQueue& m_bridge;
    std::vector<Word> m_words;
    Clock::time_point m_start;
    int m_opens = 0;
    std::size_t m_next = 0;     // the next word to queue
    std::vector<double> m_dues; // each queued word's time on the board, unwrapped
    double m_lastDue = -1e300;
    std::uint32_t m_latchedBase = 0;
    std::uint16_t m_lateBase = 0;
    int m_latched = 0, m_late = 0, m_queuedLate = 0;
    std::chrono::nanoseconds m_worstQueuedLate{0};
    // The latest sample of the board's clock, and the first one's time.
    Clock::time_point m_anchorHost, m_firstSample;
    double m_anchorBoard = 0; // unwrapped as the fit does
};

// The sequence driver for a port with a timed queue: the words go to the
// board ahead of their times (QueuedSequence) and the board's clock only
// wakes the board's thread to queue more. Stop, a failure and the program's
// end drop what the board still holds queued, so no word queued ahead
// latches a carrier later, and power the output down.
class QueuedSequenceDriver final : public SequenceDriver {
public:
    explicit QueuedSequenceDriver(DriverHost& host) : m_host(host) {}
    // The queue the next sequence goes through.
    void setQueue(TimedQueue* queue) { m_queue = queue; }
    void start(std::vector<TimedWord> words, Clock::time_point start) override;
    void clockFired() override { step(); }
    void stop() override;
    void abandon() override;
    bool running() const override { return m_running; }

private:
    void step();
    // Drops what the board holds queued and powers the output down; what
    // failed, if anything did.
    std::optional<Error> silence();
    void end(bool stopped, std::optional<Error> failure);

    DriverHost& m_host;
    TimedQueue* m_queue = nullptr;
    std::vector<TimedWord> m_words;
    std::optional<QueuedSequence> m_sequence;
    SequenceReport m_report;
    std::atomic<bool> m_running{false};
};

} // namespace kalimor::dds
