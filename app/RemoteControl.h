#pragma once

#include "net/RigctlSession.h"

namespace kalimor {

class Kalimor;

// The main window as a rig: a remote frequency goes through the window's own
// path, so the window always shows what the board gets.
class RemoteControl : public rig::Rig {
public:
    explicit RemoteControl(Kalimor& window) : m_window(window) {}
    double frequencyHz() const override;
    int setFrequencyHz(double hz) override;
    double highestFrequencyHz() const override;

private:
    Kalimor& m_window;
};

} // namespace kalimor
