#pragma once

#include "dds/TimedDriver.h"

#include <atomic>
#include <vector>

namespace kalimor::dds {

// Sends a sequence of timed words (a beacon's frame), on the board's thread.
// The board picks one driver per sequence; each keeps its own schedule and
// ends every sequence it started with DriverHost::tellSequenceDone.
class SequenceDriver {
public:
    using Clock = DriverHost::Clock;
    virtual ~SequenceDriver() = default;
    // Sends each word at its time from `start`; a word already due goes out
    // at once. Raises when it cannot begin.
    virtual void start(std::vector<TimedWord> words, Clock::time_point start) = 0;
    // The board's clock fired while this driver runs.
    virtual void clockFired() = 0;
    // Ends the sequence once no load is under way; its report follows.
    virtual void stop() = 0;
    // Ends it at once, with no report: the program is ending.
    virtual void abandon() = 0;
    // Whether a sequence is under way; read from any thread.
    virtual bool running() const = 0;
};

// Each word from the board's thread at its time: the board's clock is armed
// at each word's absolute time, so no error accumulates over a sequence.
class ClockedSequence final : public SequenceDriver {
public:
    explicit ClockedSequence(DriverHost& host) : m_host(host) {}
    void start(std::vector<TimedWord> words, Clock::time_point start) override;
    void clockFired() override { step(); }
    void stop() override;
    void abandon() override;
    bool running() const override { return m_running; }

private:
    void step();
    void end(bool stopped, std::optional<Error> failure);

    DriverHost& m_host;
    std::vector<TimedWord> m_words;
    std::size_t m_next = 0;
    Clock::time_point m_start;
    SequenceReport m_report;
    std::atomic<bool> m_running{false};
};

} // namespace kalimor::dds
