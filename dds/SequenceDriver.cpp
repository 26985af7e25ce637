#include "SequenceDriver.h"

#include "dds/BoardClock.h"

#include <algorithm>

namespace kalimor::dds {

void ClockedSequence::start(std::vector<TimedWord> words, Clock::time_point start) {
    m_words = std::move(words);
    m_next = 0;
    m_start = start;
    m_report = SequenceReport{};
    m_report.total = int(m_words.size());
    m_running = true;
    step();
}

void ClockedSequence::stop() {
    if (m_running) end(true, std::nullopt);
}

void ClockedSequence::abandon() {
    if (!m_running) return;
    m_host.clock().disarm();
    m_running = false;
    m_words.clear();
}

void ClockedSequence::step() {
    while (m_next < m_words.size()) {
        const TimedWord& w = m_words[m_next];
        const Clock::time_point due = m_start + w.at;
        if (m_host.clock().now() < due) {
            try {
                return m_host.clock().arm(due, Clock::duration::zero());
            } catch (const Error& e) {
                // A clock that cannot be armed would leave the sequence
                // waiting forever: it ends, saying why.
                return end(false, e);
            }
        }
        try {
            m_host.write(w.word, w.phase, w.powerDown);
        } catch (const Error& e) {
            return end(false, e);
        }
        const Clock::time_point sent = m_host.clock().now();
        m_host.observe(due, sent);
        m_report.worstLate = std::max(
            m_report.worstLate, std::chrono::duration_cast<std::chrono::nanoseconds>(sent - due));
        ++m_report.sent;
        ++m_next;
    }
    end(false, std::nullopt);
}

void ClockedSequence::end(bool stopped, std::optional<Error> failure) {
    m_host.clock().disarm();
    m_running = false;
    m_report.stopped = stopped;
    m_report.failure = std::move(failure);
    m_words.clear();
    m_host.tellSequenceDone(m_report);
}

} // namespace kalimor::dds
