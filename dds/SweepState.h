#pragma once

#include <cstdint>

namespace kalimor {

// The triangle sweep's position and direction, in scroll steps.
struct SweepState {
    std::int16_t SwpPos = 0;
    std::int16_t SwpDir = 1;
    std::int16_t SwpInc = 1;
    bool SwpUp = true;

    void start(int low) {
        SwpPos = static_cast<std::int16_t>(low);
        SwpUp = true;
        SwpDir = 1;
    }
    // Turns at the first position that reaches or passes a limit; that
    // position is still sent.
    void turn(int high, int low) {
        if (SwpPos >= high && SwpUp) {
            SwpUp = false;
            SwpDir = -1;
        } else if (SwpPos <= low && !SwpUp) {
            SwpUp = true;
            SwpDir = 1;
        }
    }
    void advance() { SwpPos = static_cast<std::int16_t>(SwpPos + SwpInc * SwpDir); }
};

} // namespace kalimor
