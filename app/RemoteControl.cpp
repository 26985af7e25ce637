#include "RemoteControl.h"

#include "app/Kalimor.h"
#include "core/Calibration.h"
#include "core/Numbers.h"
#include "dds/Board.h"
#include "ui/Globals.h"
#include "ui/Ui.h"

#include <algorithm>
#include <cmath>

namespace kalimor {

RemoteControl::RemoteControl() {
    m_txTimer.setSingleShot(true);
    QObject::connect(&m_txTimer, &QTimer::timeout, &m_txTimer, [this] { timedOut(); });
}

RemoteControl::RemoteControl(Kalimor& window) : RemoteControl() {
    m_window = &window;
}

RemoteControl::~RemoteControl() {
    // The program goes on without its clients: their Morse and PTT end here.
    m_morse.clear();
    if (m_keyer) m_keyer->stop();
    endMorse();
    if (m_pttOn) setPtt(0);
}

double RemoteControl::frequencyHz() const {
    double hz = 0;
    readFrequencyHz(&hz);
    return hz;
}

rig::Rig* RemoteControl::follower() const {
    return m_window ? m_window->followerRig() : nullptr;
}

int RemoteControl::readFrequencyHz(double* hz) const {
    if (rig::Rig* f = follower()) return f->readFrequencyHz(hz);
    // The word the board holds, whoever sent it and whatever a refused or
    // failed set asked for, keyed or not: a keyer's gaps and T 0 leave the
    // dial where it was (an out-of-range frequency loads a zero word, and
    // reads 0). A board nothing has reached cannot be read.
    const dds::Held held = dds::board().held();
    if (held.any) {
        *hz = producedHz(held.word, Globals::RefClkHz);
        return rig::RigOk;
    }
    if (dds::board().lastFailure()) return rig::RigIo;
    *hz = Globals::FreqHz;
    return rig::RigOk;
}

int RemoteControl::setFrequencyHz(double hz) {
    if (!m_window) return rig::RigIo;
    if (rig::Rig* f = follower()) return f->setFrequencyHz(hz);
    // Refused before the window is touched: a set must not change the unit
    // the sweep window reads its limits in. PTT keying acts through the VFO.
    const dds::Controller holder = dds::board().controller();
    if (holder != dds::Controller::Vfo && holder != m_pttHolder) return rig::RigRejected;
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

void RemoteControl::setPttKeysOutput(bool on) {
    m_pttKeys = on;
    dds::board().setPttKeying(on);
}

int RemoteControl::setPtt(int ptt) {
    if (rig::Rig* f = follower()) {
        const int status = f->setPtt(ptt);
        // A key of PTT keying's own from before the follower lifts too.
        if (ptt != 0 || !m_pttOn) return status;
    }
    if (!m_pttKeys) return rig::RigOk;
    dds::Board& board = dds::board();
    if (ptt) {
        if (board.claim(m_pttHolder)) return rig::RigRejected;
        // The window's frequency, on; one out of range stays off.
        const dds::Held held = board.held();
        if (held.any) {
            const bool off = Globals::PowerDown != 0 || held.word == 0;
            try {
                board.load(held.word, held.phase, off ? 1 : 0, m_pttHolder);
            } catch (const Error&) {
                board.release(m_pttHolder);
                return rig::RigIo;
            }
        }
        m_pttOn = true;
        keyDownChanged();
        return rig::RigOk;
    }
    int status = rig::RigOk;
    if (board.controller() == m_pttHolder) {
        const dds::Held held = board.held();
        try {
            if (held.any) board.load(held.word, held.phase, 1, m_pttHolder);
        } catch (const Error&) {
            status = rig::RigIo;
        }
        board.release(m_pttHolder); // the VFO's words go out keyed down from now on
    } else if (const dds::Held held = board.held();
               held.any && !held.powerDown && board.controller() == dds::Controller::Vfo) {
        // PTT keying switched on while the output was on: off is off.
        try {
            board.load(held.word, held.phase, 1);
        } catch (const Error&) {
            status = rig::RigIo;
        }
    }
    m_pttOn = false;
    keyDownChanged();
    return status;
}

std::optional<int> RemoteControl::ptt() const {
    if (rig::Rig* f = follower()) return f->ptt();
    // A time-out keys down whatever a client last set.
    if (m_pttKeys && !m_pttOn) return 0;
    return std::nullopt;
}

double RemoteControl::keyerDialHz() const {
    const dds::Held held = dds::board().held();
    return held.any ? producedHz(held.word, Globals::RefClkHz) : Globals::FreqHz;
}

int RemoteControl::sendMorse(std::string_view text) {
    const dds::Controller holder = dds::board().controller();
    if (holder != dds::Controller::Vfo && holder != m_keyerHolder) return rig::RigRejected;
    QString why;
    const QString message = QString::fromUtf8(text.data(), qsizetype(text.size()));
    if (!beacon::morse(message, &why)) return rig::RigInvalid;
    // A keyer that cannot key at the dial must say so, not drop the text.
    if (beacon::Beacon::dialProblem(keyerDialHz(), 0, Globals::RefClkHz)) return rig::RigInvalid;
    if (m_waiting + message.size() > MaxMorseWaiting) return rig::RigNoMemory;
    if (holder == dds::Controller::Vfo && dds::board().claim(m_keyerHolder))
        return rig::RigRejected;
    m_morse << message;
    m_waiting += message.size();
    if (!m_keyer) nextMorse();
    return m_keyer ? rig::RigOk : rig::RigIo;
}

void RemoteControl::nextMorse() {
    if (m_keyer) m_keyer.release()->deleteLater(); // it may be the one signalling
    m_waiting -= m_sending;
    m_sending = 0;
    while (!m_morse.isEmpty()) {
        beacon::BeaconSetup s;
        s.mode = beacon::BeaconSetup::Mode::Cw;
        s.text = m_morse.takeFirst();
        s.ditSeconds = beacon::ditSecondsForWpm(20);
        s.once = true;
        s.restore = true;
        s.kind = dds::Controller::Kind::Keyer;
        s.heldBy = m_keyerHolder;
        s.dialsHz = {keyerDialHz()};
        m_sending = s.text.size();
        auto keyer = std::make_unique<beacon::Beacon>(s, Globals::RefClkHz, Globals::PhaseStep);
        beacon::Beacon* const k = keyer.get();
        // A keyer stopped and replaced before its end is told must not end
        // its successor.
        QObject::connect(
            k, &beacon::Beacon::finished, k,
            [this, k] {
                if (m_keyer.get() == k) nextMorse();
            },
            Qt::QueuedConnection);
        QString why;
        if (keyer->start(&why)) {
            m_keyer = std::move(keyer);
            keyDownChanged();
            return;
        }
        tell(QStringLiteral("Morse not sent: %1").arg(why));
        m_waiting -= m_sending;
        m_sending = 0;
    }
    endMorse();
}

void RemoteControl::endMorse() {
    if (m_keyer) m_keyer.release()->deleteLater();
    m_morse.clear();
    m_waiting = 0;
    m_sending = 0;
    dds::board().release(m_keyerHolder);
    keyDownChanged();
}

int RemoteControl::stopMorse() {
    m_morse.clear();
    if (m_keyer) m_keyer->stop(); // the word from before the keyer is back
    endMorse();
    return rig::RigOk;
}

bool RemoteControl::morseBusy() const {
    return (m_keyer && m_keyer->running()) || !m_morse.isEmpty();
}

void RemoteControl::keyDownChanged() {
    const bool keyed = m_pttOn || m_keyer;
    if (!keyed) return m_txTimer.stop();
    ui::reportHeadless(QStringLiteral("rigctld"), QString()); // the next time-out is told again
    if (m_txLimit.count() > 0 && !m_txTimer.isActive()) m_txTimer.start(m_txLimit);
}

void RemoteControl::timedOut() {
    const bool ptt = m_pttOn;
    stopMorse();
    if (ptt) setPtt(0);
    // The keyer puts back the word from before it; the time-out means off.
    const dds::Held held = dds::board().held();
    if (held.any && !held.powerDown && dds::board().controller() == dds::Controller::Vfo) {
        try {
            dds::board().load(held.word, held.phase, 1);
        } catch (const Error&) {
            // The next load tells the port's trouble.
        }
    }
    tell(QStringLiteral("Transmit time-out: keyed down for %1 s, the output is off")
             .arg(double(m_txLimit.count()) / 1000));
}

void RemoteControl::tell(const QString& why) {
    ui::reportHeadless(QStringLiteral("rigctld"), why);
    if (m_window)
        if (auto* line = m_window->findChild<ui::StatusText*>(QStringLiteral("statusCause")))
            line->setStatus(why);
}

double RemoteControl::highestFrequencyHz() const {
    // The window's own ceiling, or the last frequency whose tuning word still
    // fits 31 bits at this reference clock.
    return std::min(30'000'000.0, kalimor::highestFrequencyHz(Globals::RefClkHz));
}

} // namespace kalimor
