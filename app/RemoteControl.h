#pragma once

#include "beacon/Beacon.h"
#include "dds/Board.h"
#include "net/RigctlSession.h"

#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

namespace kalimor {

class Kalimor;

// The main window as a rig: a remote frequency goes through the window's own
// path, so the window always shows what the board gets. PTT keying and the
// keyer are holders of the board of their own, so a window's tool cannot
// take the board from under them nor they from under it. While the
// digital-modes window follows keyed by CAT, F, f and T are its follower's:
// WSJT-X's CAT tunes and keys what it transmits through.
class RemoteControl : public rig::Rig {
public:
    // Text waiting for the keyer, all clients together: about 40 minutes at
    // 20 WPM, more than any exchange needs.
    static constexpr qsizetype MaxMorseWaiting = 4096;
    static constexpr std::chrono::minutes DefaultTransmitTimeout{10};

    explicit RemoteControl(Kalimor& window);
    // Without a window yet: the server can listen (and fail) before anything
    // reaches the board; no client is served before the event loop runs.
    RemoteControl();
    ~RemoteControl() override;
    void attach(Kalimor& window) { m_window = &window; }
    double frequencyHz() const override;
    int readFrequencyHz(double* hz) const override;
    int setFrequencyHz(double hz) override;
    double highestFrequencyHz() const override;
    // With the option on, the output is off from the start until T 1, and T 0
    // turns it off again (the power-down bit); off (the default), PTT is only
    // remembered.
    void setPttKeysOutput(bool on);
    int setPtt(int ptt) override;
    std::optional<int> ptt() const override;
    // The longest continuous key-down by PTT or the keyer; zero: no limit.
    // When it runs out the output powers down and the reason is told.
    void setTransmitTimeout(std::chrono::milliseconds limit) { m_txLimit = limit; }
    // \send_morse: the text keyed on and off at 20 WPM at the frequency the
    // board holds, which it holds again afterwards.
    int sendMorse(std::string_view text) override;
    int stopMorse() override;
    bool morseBusy() const override;
    bool canSendMorse() const override { return true; }

private:
    void nextMorse();
    void endMorse();
    void keyDownChanged();
    void timedOut();
    double keyerDialHz() const;
    void tell(const QString& why);
    rig::Rig* follower() const;

    Kalimor* m_window = nullptr;
    bool m_pttKeys = false;
    bool m_pttOn = false;
    const dds::Controller m_pttHolder = dds::Controller::make(dds::Controller::Kind::Ptt);
    const dds::Controller m_keyerHolder = dds::Controller::make(dds::Controller::Kind::Keyer);
    std::unique_ptr<beacon::Beacon> m_keyer;
    QStringList m_morse;     // texts waiting for the keyer
    qsizetype m_waiting = 0; // characters queued, the one being sent included
    qsizetype m_sending = 0;
    std::chrono::milliseconds m_txLimit = DefaultTransmitTimeout;
    QTimer m_txTimer;
};

} // namespace kalimor
