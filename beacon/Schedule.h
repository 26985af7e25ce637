#pragma once

#include "beacon/Morse.h"
#include "beacon/Wspr.h"

#include <QString>

#include <chrono>
#include <optional>
#include <random>
#include <vector>

namespace kalimor::beacon {

using UtcClock = std::chrono::system_clock;

// One step of a transmission: at `at` from its start, the output goes to
// `hz`, or off.
struct Tone {
    std::chrono::nanoseconds at{0};
    double hz = 0;
    bool off = false;
};

// How CW and QRSS key the output: the power-down bit, a shift of the
// key-down tone `shiftHz` above the key-up tone, or DFCW (a dah as a tone
// `shiftHz` above the dit's, each element one unit long).
enum class Keying { OnOff, Fsk, Dfcw };

// A WSPR frame: symbol k at k x 8192/12000 s, tone s at the dial plus the
// audio offset plus (s - 1.5) x 12000/8192 Hz (the offset is the signal's
// centre, where WSJT-X shows it), then off at 110.592 s.
std::vector<Tone> wsprTones(const WsprFrame& symbols, double dialHz, double offsetHz);

// A Morse transmission at `ditSeconds` a unit, ending key-up (off for
// on-off keying and DFCW, on the key-up tone for FSK).
std::vector<Tone> morseTones(const std::vector<KeyElement>& elements, double dialHz,
                             double ditSeconds, Keying keying, double shiftHz);

// The start of the WSPR frame to send next, 1 s after an even UTC minute: the
// one under way if it began at most `late` ago, else the next.
UtcClock::time_point nextWsprStart(UtcClock::time_point now,
                                   std::chrono::milliseconds late = std::chrono::seconds(1));

// Whether this frame goes out, at `percent` of frames on average.
bool transmitThisFrame(std::mt19937& random, int percent);

// Why the system clock cannot be trusted to place a frame (not synchronised,
// or an estimated error of 0.5 s or more); nothing when it can.
std::optional<QString> clockProblem();

} // namespace kalimor::beacon
