#include "RemoteControl.h"

#include "app/Kalimor.h"
#include "ui/Globals.h"

#include <algorithm>
#include <cmath>

namespace kalimor {

double RemoteControl::frequencyHz() const {
    return Globals::FreqHz;
}

int RemoteControl::setFrequencyHz(double hz) {
    if (!m_window) return rig::RigIo;
    switch (m_window->setFrequencyFromRemote(hz)) {
    case Kalimor::SendResult::Sent:
        return rig::RigOk;
    case Kalimor::SendResult::PortFailed:
        return rig::RigIo;
    case Kalimor::SendResult::OutOfRange:
    case Kalimor::SendResult::Failed:
        break;
    }
    return rig::RigInvalid;
}

double RemoteControl::highestFrequencyHz() const {
    // The window's own ceiling, or the last frequency whose tuning word still
    // fits 31 bits at this reference clock.
    const double byClock = std::floor((2147483647.0 * Globals::RefClkHz) / 4294967296.0);
    return std::max(0.0, std::min(30'000'000.0, byClock));
}

} // namespace kalimor
