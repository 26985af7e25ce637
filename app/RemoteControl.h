#pragma once

#include "net/RigctlSession.h"

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

private:
    Kalimor* m_window = nullptr;
};

} // namespace kalimor
