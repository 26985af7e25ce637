#include "Intake.h"

namespace kalimor::follow {

Intake::Intake(Follower& follower, std::chrono::milliseconds stall)
    : m_follower(follower), m_stall(stall) {}

void Intake::feed(std::span<const float> samples, double rate) {
    if (!m_meter || m_meter->sampleRate() != rate) m_meter = std::make_unique<ToneMeter>(rate);
    m_meter->feed(samples, [&](const Reading& r) {
        m_follower.reading(r);
        m_lastReadingNs = Clock::now().time_since_epoch().count();
    });
}

void Intake::watch() {
    const auto last = Clock::time_point(Clock::duration(m_lastReadingNs.load()));
    if (Clock::now() - last > m_stall && m_follower.status().on) m_follower.silence();
}

} // namespace kalimor::follow
