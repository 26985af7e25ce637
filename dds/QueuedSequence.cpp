#include "QueuedSequence.h"

#include "core/Error.h"
#include "dds/BoardClock.h"

#include <algorithm>
#include <cmath>

namespace kalimor::dds {

namespace {

// While the fit is young each turn samples the board's clock, so the words
// queued next are reckoned from a fresh sample; once it knows the rate a few
// turns a second keep it and the board's guard fed.
constexpr auto YoungPoll = std::chrono::milliseconds(20);
constexpr auto Poll = std::chrono::milliseconds(250);
constexpr auto ConfirmPoll = std::chrono::milliseconds(50);

double micros(QueuedSequence::Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

Error sequenceFailure(const QString& why) {
    return Error(err::PortAccess, QStringLiteral("Board"), why);
}

} // namespace

QueuedSequence::QueuedSequence(TimedQueue& bridge, std::vector<Word> words, Clock::time_point start)
    : m_bridge(bridge), m_words(std::move(words)), m_start(start), m_opens(bridge.opens()) {
    m_dues.reserve(m_words.size());
}

double QueuedSequence::boardAt(Clock::time_point t) const {
    if (m_bridge.clockErrorPpm()) return *m_bridge.boardAt(t);
    // Until the fit knows the rate it takes it as 1, and the line through
    // its samples' centre would be off by the rate's error times half a
    // second; the latest sample is off by it times the lead alone.
    return m_anchorBoard + micros(t - m_anchorHost);
}

void QueuedSequence::sample() {
    const std::uint32_t raw = m_bridge.boardTimeUs();
    const Clock::time_point asked = m_bridge.lastSentAt();
    // Unwrapped as the fit unwraps: its estimate is within milliseconds.
    const double near = m_bridge.boardAt(asked).value_or(raw);
    m_anchorBoard = near + double(std::int32_t(raw - std::uint32_t(std::llround(near))));
    m_anchorHost = asked;
    if (m_firstSample == Clock::time_point{}) m_firstSample = asked;
}

QueuedSequence::Clock::duration QueuedSequence::lead(Clock::time_point now) const {
    if (!m_bridge.clockErrorPpm()) return YoungLead;
    // The rate's error shrinks as the fit's span grows: an eighth of the
    // span keeps what it adds to an edge well under the resonator's 0.5 %
    // of the lead.
    return std::clamp<Clock::duration>((now - m_firstSample) / 8, YoungLead, MaxLead);
}

std::optional<std::size_t> QueuedSequence::current() const {
    if (m_dues.empty()) return std::nullopt;
    const double now = boardAt(Clock::now());
    const auto passed = std::upper_bound(m_dues.begin(), m_dues.end(), now);
    if (passed == m_dues.begin()) return std::nullopt;
    return std::size_t(passed - m_dues.begin() - 1);
}

std::optional<QueuedSequence::Clock::time_point> QueuedSequence::step() {
    if (m_bridge.opens() != m_opens)
        throw sequenceFailure(
            QStringLiteral("the bridge was opened again mid-sequence: the words it held are gone"));
    if (m_next == 0 && m_firstSample == Clock::time_point{}) {
        const TimedQueue::Latched l = m_bridge.lastLatched();
        m_latchedBase = l.count;
    }
    if (m_next < m_words.size()) {
        sample();
        const Clock::time_point horizon = Clock::now() + lead(Clock::now());
        bool lateKnown = m_next > 0;
        while (m_next < m_words.size() && m_start + m_words[m_next].at <= horizon) {
            const Clock::time_point asked = Clock::now();
            const double boardNow = boardAt(asked);
            // What the board still holds: the queued words not yet due there.
            const auto held =
                m_dues.end() - std::upper_bound(m_dues.begin(), m_dues.end(), boardNow - MinLeadUs);
            const int room =
                std::min<int>(TimedQueue::LoadsPerFrame, TimedQueue::QueueSlots - 1 - int(held));
            if (room <= 0) break;
            std::vector<TimedQueue::QueuedLoad> batch;
            std::vector<double> dues;
            std::size_t n = m_next;
            double last = m_lastDue;
            while (int(batch.size()) < room && n < m_words.size() &&
                   m_start + m_words[n].at <= horizon) {
                const Word& w = m_words[n++];
                double due = boardAt(m_start + w.at);
                if (due < boardNow + MinLeadUs) {
                    // Its time passed while the host was held up: at once.
                    ++m_queuedLate;
                    const double lateUs = (boardNow + MinLeadUs - due) / m_bridge.clockRatio();
                    m_worstQueuedLate = std::max(
                        m_worstQueuedLate,
                        std::chrono::nanoseconds(std::int64_t(std::llround(lateUs * 1e3))));
                    due = boardNow + MinLeadUs;
                }
                due = std::max(due, last + 1); // the board takes them in order
                last = due;
                batch.push_back(
                    {std::uint32_t(std::int64_t(std::llround(due))), w.word, w.control});
                dues.push_back(due);
            }
            const TimedQueue::QueueReply reply = m_bridge.queue(batch);
            if (!lateKnown) {
                m_lateBase = reply.late;
                lateKnown = true;
            }
            // Kept only once the board has taken them.
            m_next = n;
            m_lastDue = last;
            m_dues.insert(m_dues.end(), dues.begin(), dues.end());
            m_latched = int(reply.latched - m_latchedBase);
            m_late = std::uint16_t(reply.late - m_lateBase);
            const Clock::time_point sent = m_bridge.lastSentAt();
            const double near = boardAt(sent);
            m_anchorBoard =
                near + double(std::int32_t(reply.nowUs - std::uint32_t(std::llround(near))));
            m_anchorHost = sent;
        }
        const Clock::time_point now = Clock::now();
        const Clock::time_point poll = now + (m_bridge.clockErrorPpm() ? Poll : YoungPoll);
        if (m_next < m_words.size())
            return std::max(now, std::min(poll, m_start + m_words[m_next].at - lead(now)));
        return std::max(now + ConfirmPoll, m_start + m_words.back().at);
    }
    // All queued: the board says when the last has latched.
    const TimedQueue::Latched l = m_bridge.lastLatched();
    m_latched = int(l.count - m_latchedBase);
    if (m_latched >= total()) return std::nullopt;
    const Clock::time_point now = Clock::now();
    if (m_words.empty() || now > m_start + m_words.back().at + ConfirmWait)
        throw sequenceFailure(QStringLiteral("the bridge latched %1 of the sequence's %2 words")
                                  .arg(m_latched)
                                  .arg(total()));
    return now + ConfirmPoll;
}

TimedQueue::Latched QueuedSequence::flush() {
    // Everything queued is due after a time 2^30 us ago.
    m_bridge.dropAfter(m_bridge.boardTimeUs() - 0x40000000u);
    return m_bridge.lastLatched();
}

void QueuedSequenceDriver::start(std::vector<TimedWord> words, Clock::time_point start) {
    m_words = std::move(words);
    std::vector<QueuedSequence::Word> queued;
    queued.reserve(m_words.size());
    for (const TimedWord& w : m_words)
        queued.push_back({w.at, std::uint32_t(w.word), m_host.controlByte(w.phase, w.powerDown)});
    m_sequence.emplace(*m_queue, std::move(queued), start);
    m_report = SequenceReport{};
    m_report.total = int(m_words.size());
    m_running = true;
    step();
}

void QueuedSequenceDriver::step() {
    if (!m_running) return;
    std::optional<Clock::time_point> next;
    try {
        next = m_sequence->step();
    } catch (const Error& e) {
        // The link may still be up with words queued: they go.
        silence();
        return end(false, e);
    }
    m_report.sent = m_sequence->latched();
    if (const auto current = m_sequence->current()) {
        const TimedWord& w = m_words[*current];
        m_host.setHeld(Held{w.word, w.phase, w.powerDown, true});
    }
    if (!next) return end(false, std::nullopt);
    try {
        m_host.clock().arm(*next, Clock::duration::zero());
    } catch (const Error& e) {
        silence();
        end(false, e);
    }
}

std::optional<Error> QueuedSequenceDriver::silence() {
    try {
        const TimedQueue::Latched last = m_sequence->flush();
        const std::size_t current = m_sequence->current().value_or(0);
        const std::int16_t phase = m_words.empty() ? 0 : m_words[current].phase;
        m_host.write(std::int32_t(last.word), phase, 1);
    } catch (const Error& e) {
        return e;
    }
    return std::nullopt;
}

void QueuedSequenceDriver::stop() {
    if (!m_running) return;
    end(true, silence());
}

void QueuedSequenceDriver::abandon() {
    if (!m_running) return;
    silence();
    m_host.clock().disarm();
    m_running = false;
    m_words.clear();
}

void QueuedSequenceDriver::end(bool stopped, std::optional<Error> failure) {
    m_host.clock().disarm();
    m_running = false;
    // Late: queued after its time had passed, or latched more than 0.5 ms
    // after it by the board's count.
    m_report.worstLate = m_sequence->worstQueuedLate();
    if (m_sequence->late() > 0)
        m_report.worstLate =
            std::max<std::chrono::nanoseconds>(m_report.worstLate, std::chrono::microseconds(500));
    m_report.stopped = stopped;
    m_report.failure = std::move(failure);
    m_words.clear();
    m_host.tellSequenceDone(m_report);
}

} // namespace kalimor::dds
