#include "SweepDriver.h"

#include "core/Numbers.h"
#include "dds/BoardClock.h"

namespace kalimor::dds {

namespace {

constexpr auto DisplayInterval = std::chrono::milliseconds(33); // 30 readouts a second

} // namespace

void SweepDriver::show(const SweepTick& t, bool clocked) {
    const bool changed = t.failure.has_value() != m_run.lastFailed;
    m_run.lastFailed = t.failure.has_value();
    m_run.last = t;
    // A few readouts a second are all an eye can follow; a failure or a
    // recovery is told at once.
    const Clock::time_point now = m_host.clock().now();
    if (clocked && (changed || now - m_run.lastShown >= DisplayInterval)) {
        m_run.lastShown = now;
        m_host.tellSwept(t);
    }
}

void ClockedSweep::start() {
    m_start = m_host.clock().now() + Period;
    m_n = 0;
    m_missed = 0;
    m_host.clock().arm(m_start, Period);
}

void ClockedSweep::startUnclocked() {
    m_n = 0;
    m_missed = 0;
    m_host.clock().disarm();
}

void ClockedSweep::clockFired(std::uint64_t expirations) {
    // Ticks more than a period late are counted, not sent in a burst.
    m_missed += static_cast<std::int64_t>(expirations) - 1;
    m_n += static_cast<std::int64_t>(expirations);
    tick(true);
}

void ClockedSweep::stop() {
    m_host.clock().disarm();
}

void ClockedSweep::tick(bool clocked) {
    const Clock::time_point due = m_start + Period * (m_n - 1);
    m_run.sweep.turn(m_run.plan.high, m_run.plan.low);
    SweepTick t;
    t.position = m_run.sweep.SwpPos;
    t.hz = m_run.sweep.SwpPos / m_run.plan.scrollScale * m_run.plan.freqMult;
    try {
        t.word = tuningWord(t.hz, m_run.plan.refClkHz);
        m_host.write(t.word, m_run.plan.phase, m_run.plan.powerDown);
    } catch (const Error& e) {
        t.failure = e;
    }
    if (clocked) m_host.observe(due, m_host.clock().now());
    m_run.sweep.advance();
    t.ticks = m_run.last.ticks + 1;
    t.missed = m_missed;
    show(t, clocked);
}

} // namespace kalimor::dds
