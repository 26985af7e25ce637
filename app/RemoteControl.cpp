#include "RemoteControl.h"

#include "app/Kalimor.h"
#include "core/Calibration.h"
#include "core/Numbers.h"
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

int RemoteControl::setPtt(int ptt) {
    if (!m_pttKeys) return rig::RigOk;
    if (dds::board().controller() != dds::Controller::Vfo) return rig::RigRejected;
    const dds::Held held = dds::board().held();
    if (!held.any) return rig::RigOk;
    try {
        dds::board().load(held.word, held.phase, ptt ? 0 : 1);
    } catch (const Error&) {
        return rig::RigIo;
    }
    return rig::RigOk;
}

int RemoteControl::sendMorse(std::string_view text) {
    const dds::Controller holder = dds::board().controller();
    if (holder != dds::Controller::Vfo && !(holder == dds::Controller::Beacon && m_keyer))
        return rig::RigRejected;
    QString why;
    const QString message = QString::fromUtf8(text.data(), qsizetype(text.size()));
    if (!beacon::morse(message, &why)) return rig::RigInvalid;
    m_morse << message;
    if (!m_keyer) nextMorse();
    return m_keyer || m_morse.isEmpty() ? rig::RigOk : rig::RigIo;
}

void RemoteControl::nextMorse() {
    if (m_keyer) m_keyer.release()->deleteLater(); // it may be the one signalling
    while (!m_morse.isEmpty()) {
        beacon::BeaconSetup s;
        s.mode = beacon::BeaconSetup::Mode::Cw;
        s.text = m_morse.takeFirst();
        s.ditSeconds = beacon::ditSecondsForWpm(20);
        s.once = true;
        s.restore = true;
        const dds::Held held = dds::board().held();
        s.dialsHz = {held.any ? producedHz(held.word, Globals::RefClkHz) : Globals::FreqHz};
        auto keyer = std::make_unique<beacon::Beacon>(s, Globals::RefClkHz, Globals::PhaseStep);
        QObject::connect(
            keyer.get(), &beacon::Beacon::finished, keyer.get(), [this] { nextMorse(); },
            Qt::QueuedConnection);
        QString why;
        if (keyer->start(&why)) {
            m_keyer = std::move(keyer);
            return;
        }
    }
}

int RemoteControl::stopMorse() {
    m_morse.clear();
    if (m_keyer) m_keyer->stop();
    return rig::RigOk;
}

bool RemoteControl::morseBusy() const {
    return (m_keyer && m_keyer->running()) || !m_morse.isEmpty();
}

double RemoteControl::highestFrequencyHz() const {
    // The window's own ceiling, or the last frequency whose tuning word still
    // fits 31 bits at this reference clock.
    return std::min(30'000'000.0, kalimor::highestFrequencyHz(Globals::RefClkHz));
}

} // namespace kalimor
