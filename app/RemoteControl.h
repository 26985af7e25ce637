#pragma once

#include "beacon/Beacon.h"
#include "net/RigctlSession.h"

#include <QStringList>

#include <memory>

namespace kalimor {

class Kalimor;

// The main window as a rig: a remote frequency goes through the window's own
// path, so the window always shows what the board gets.
class RemoteControl : public rig::Rig {
public:
    explicit RemoteControl(Kalimor& window) : m_window(&window) {}
    // Without a window yet: the server can listen (and fail) before anything
    // reaches the board; no client is served before the event loop runs.
    RemoteControl() = default;
    void attach(Kalimor& window) { m_window = &window; }
    double frequencyHz() const override;
    int setFrequencyHz(double hz) override;
    double highestFrequencyHz() const override;
    // With the option on, T 1 puts the output on and T 0 off (the power-down
    // bit); off (the default), PTT is only remembered.
    void setPttKeysOutput(bool on) { m_pttKeys = on; }
    int setPtt(int ptt) override;
    // \send_morse: the text keyed on and off at 20 WPM at the frequency the
    // board holds, which it holds again afterwards.
    int sendMorse(std::string_view text) override;
    int stopMorse() override;
    bool morseBusy() const override;
    bool canSendMorse() const override { return true; }

private:
    void nextMorse();

    Kalimor* m_window = nullptr;
    bool m_pttKeys = false;
    std::unique_ptr<beacon::Beacon> m_keyer;
    QStringList m_morse; // texts waiting for the keyer
};

} // namespace kalimor
