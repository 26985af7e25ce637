#include "SweepDriver.h"

#include "core/Numbers.h"
#include "dds/BoardClock.h"
#include "dds/Capabilities.h"

#include <algorithm>
#include <cmath>

namespace kalimor::dds {

namespace {

// The first tick this far ahead, and the queue kept this many ticks (300 ms)
// ahead of the one under way.
constexpr auto QueueStartLead = std::chrono::microseconds(40'000);
constexpr std::int64_t QueueLeadTicks = 30;
constexpr int QueueFramesPerTurn = 2;
constexpr std::int64_t PeriodUs = 10'000;
// A tick due on the board sooner than this is not queued but counted missed.
constexpr double QueueMinLeadUs = 2'000;
// Due times follow the fitted clock line by a 25th of their distance from it
// a tick, so the line's noise never jolts a period.
constexpr double QueueSteer = 25;

} // namespace

std::int64_t QueuedSweep::tickNow() const {
    return std::max<std::int64_t>(0, (Clock::now() - m_hostStart) / Period);
}

void QueuedSweep::start() {
    TimedQueue* queue = m_queue;
    if (!queue)
        throw Error(err::PortAccess, QStringLiteral("Board"), QStringLiteral("no timed queue"));
    m_queued.clear();
    try {
        // The first tick leaves room for a few exchanges, however late the
        // USB chip passes the answers on.
        const auto asked = Clock::now();
        queue->boardTimeUs();
        const auto roundTrip = Clock::now() - asked;
        m_hostStart = asked + QueueStartLead + 4 * roundTrip;
        m_queuedN = 0;
        m_nextDue = *queue->boardAt(m_hostStart);
        m_queueOpens = queue->opens();
        m_queueMissed = 0;
        m_queuePpm = std::nan("");
        m_confirmedN = -1;
        m_lateKnown = false;
        m_queueMode = true;
        topUp(0);
        m_host.clock().arm(m_host.clock().now() + Period, Period);
    } catch (const Error&) {
        m_queueMode = false; // the board's thread sends the ticks itself
        throw;
    }
}

void QueuedSweep::planChanged() {
    // What is queued beyond the tick under way is replaced: the change
    // acts from the next tick, as it does without a queue.
    const std::int64_t keep = tickNow() + 1;
    auto kept = std::find_if(m_queued.begin(), m_queued.end(),
                             [&](const Queued& q) { return q.n == keep; });
    if (kept == m_queued.end()) return;
    try {
        m_queue->dropAfter(kept->dueUs);
    } catch (const Error& e) {
        m_run.last.failure = e;
    }
    m_run.sweep = kept->after;
    m_run.sweep.SwpInc = static_cast<std::int16_t>(m_run.plan.increment);
    m_queuedN = keep + 1;
    m_nextDue = kept->due + PeriodUs * m_queue->clockRatio();
    m_queued.erase(kept + 1, m_queued.end());
}

void QueuedSweep::topUp(std::int64_t nNow) {
    TimedQueue* bridge = m_queue;
    const SweepPlan& plan = m_run.plan;
    bridge->hasQueue(); // a lost link opens again here, before any time is worked out
    if (bridge->opens() != m_queueOpens) {
        // The link was opened again: the board may have been reset, its
        // queue and clock gone, or not, its queue still holding ours. Either
        // way it is emptied and the ticks from the next on are queued again
        // on its clock as it is now; those due meanwhile are missed.
        bridge->dropAfter(bridge->boardTimeUs() - 0x40000000u);
        m_queueOpens = bridge->opens();
        m_queueMissed += m_lateCount; // the new board counts from its own start
        m_lateCount = 0;
        m_lateKnown = false;
        auto last = std::find_if(m_queued.begin(), m_queued.end(),
                                 [&](const Queued& q) { return q.n == nNow; });
        if (last != m_queued.end()) {
            m_run.sweep = last->after;
            m_queuedN = nNow + 1;
            m_queued.erase(last + 1, m_queued.end());
        }
        for (Queued& q : m_queued) q.due = -1e18; // on a clock that is gone
        m_queueMissed += std::max<std::int64_t>(0, std::min(m_queuedN - 1, nNow) - m_confirmedN);
        m_confirmedN = std::max(m_confirmedN, std::min(m_queuedN - 1, nNow));
        m_nextDue = *bridge->boardAt(m_hostStart + Period * m_queuedN);
    }
    const double ratio = bridge->clockRatio();
    // A few frames a turn: the clock's next turn tops up further, and the
    // board thread is never held for long however late the answers come.
    for (int frames = 0; frames < QueueFramesPerTurn && m_queuedN < nNow + QueueLeadTicks;
         ++frames) {
        const double boardNow = *bridge->boardAt(Clock::now());
        // What the board still holds: the queued ticks not yet due there.
        int held = 0;
        for (const Queued& q : m_queued)
            if (q.n >= 0 && q.due > boardNow - QueueMinLeadUs) ++held;
        const int room =
            std::min<int>(TimedQueue::LoadsPerFrame, TimedQueue::QueueSlots - 1 - held);
        if (room <= 0) break;
        // Built aside and kept only once the board has taken them.
        SweepState sweep = m_run.sweep;
        std::int64_t n = m_queuedN;
        double due = m_nextDue;
        std::int64_t skipped = 0;
        std::vector<Queued> made;
        std::vector<TimedQueue::QueuedLoad> batch;
        while (int(batch.size()) < room && n < nNow + QueueLeadTicks) {
            const double target = *bridge->boardAt(m_hostStart + Period * n);
            const double at = due + (target - due) / QueueSteer;
            due = at + PeriodUs * ratio;
            sweep.turn(plan.high, plan.low);
            Queued q;
            q.n = n++;
            q.tick.position = sweep.SwpPos;
            q.tick.hz = sweep.SwpPos / plan.scrollScale * plan.freqMult;
            q.tick.word = tuningWord(q.tick.hz, plan.refClkHz); // raises as a tick would
            sweep.advance();
            q.after = sweep;
            q.due = at;
            q.dueUs = std::uint32_t(std::int64_t(std::llround(at)));
            if (at < boardNow + QueueMinLeadUs) {
                ++skipped; // its time has passed: not sent in a burst
                continue;
            }
            batch.push_back({q.dueUs, std::uint32_t(q.tick.word),
                             m_host.controlByte(plan.phase, plan.powerDown)});
            made.push_back(q);
        }
        if (!batch.empty()) {
            const TimedQueue::QueueReply reply = bridge->queue(batch);
            if (!m_lateKnown) {
                m_lateBase = std::uint16_t(reply.late);
                m_lateKnown = true;
            }
            m_lateCount = std::uint16_t(reply.late - m_lateBase);
            m_queuePpm = bridge->clockErrorPpm().value_or(std::nan(""));
            for (const Queued& q : m_queued)
                if (q.n > m_confirmedN && std::int32_t(q.dueUs - reply.nowUs) <= 0)
                    m_confirmedN = q.n;
        }
        m_run.sweep = sweep;
        m_queuedN = n;
        m_nextDue = due;
        m_queueMissed += skipped;
        m_queued.insert(m_queued.end(), made.begin(), made.end());
    }
    while (!m_queued.empty() && m_queued.front().n < nNow - 2 * QueueLeadTicks)
        m_queued.pop_front();
}

void QueuedSweep::clockFired(std::uint64_t) {
    const std::int64_t nNow = tickNow();
    SweepTick t;
    try {
        topUp(nNow);
    } catch (const Error& e) {
        t.failure = e;
    }
    for (const Queued& q : m_queued)
        if (q.n >= 0 && q.n <= nNow && !t.failure) t = q.tick;
    t.ticks = nNow + 1;
    // Every tick that did not latch at its time: not queued in time, lost
    // with a reset board, or latched late by the board.
    t.missed = m_queueMissed + m_lateCount;
    if (!t.failure) m_host.setHeld(Held{t.word, m_run.plan.phase, m_run.plan.powerDown, true});
    show(t, true);
}

void QueuedSweep::stop() {
    m_host.clock().disarm();
    // The board keeps the last tick it latched; what it had queued beyond
    // now goes.
    try {
        m_queue->dropAfter(m_queue->boardTimeUs());
        const TimedQueue::Latched l = m_queue->lastLatched();
        for (const Queued& q : m_queued)
            if (q.n >= 0 && q.dueUs == l.dueUs) {
                m_run.last = q.tick;
                m_run.last.ticks = q.n + 1;
                m_run.last.missed = m_queueMissed + m_lateCount;
            }
        m_host.setHeld(Held{std::int32_t(l.word), m_run.plan.phase, m_run.plan.powerDown, true});
    } catch (const Error& e) {
        m_run.last.failure = e;
    }
    m_queueMode = false;
}

QString QueuedSweep::scheduling() const {
    if (!m_queueMode) return {};
    const double ppm = m_queuePpm.load();
    if (std::isnan(ppm)) return QStringLiteral("the bridge's own clock (timed queue)");
    return QStringLiteral("the bridge's own clock (timed queue, %1 ppm %2, taken out)")
        .arg(std::fabs(ppm), 0, 'f', 0)
        .arg(ppm >= 0 ? QStringLiteral("fast") : QStringLiteral("slow"));
}

} // namespace kalimor::dds
