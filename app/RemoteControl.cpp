#include "RemoteControl.h"

#include "app/Kalimor.h"
#include "core/Calibration.h"
#include "dds/Board.h"
#include "ui/Globals.h"

#include <algorithm>
#include <cmath>

namespace kalimor {

double RemoteControl::frequencyHz() const {
    // What the board holds, whoever sent it and whatever a refused or failed
    // set asked for; before any load, what the window shows.
    const dds::Held held = dds::board().held();
    if (!held.any) return Globals::FreqHz;
    return held.powerDown ? 0 : producedHz(held.word, Globals::RefClkHz);
}

int RemoteControl::setFrequencyHz(double hz) {
    if (!m_window) return rig::RigIo;
    // Refused before the window is touched: a set must not change the unit
    // the sweep window reads its limits in.
    if (dds::board().controller() != dds::Controller::Vfo) return rig::RigRejected;
    switch (m_window->setFrequencyFromRemote(hz)) {
    case Kalimor::SendResult::Sent:
        return rig::RigOk;
    case Kalimor::SendResult::PortFailed:
        return rig::RigIo;
    case Kalimor::SendResult::Refused:
        return rig::RigRejected;
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
