#pragma once

#include <string>
#include <string_view>

namespace kalimor::rig {

// What a rigctld client can ask of the generator.
class Rig {
public:
    virtual ~Rig() = default;
    // The frequency the generator is set to, in Hz; 0 when powered down.
    virtual double frequencyHz() const = 0;
    // Sets the output; returns a Hamlib status: 0 sent, -1 out of range
    // (the board is powered down), -6 the port failed.
    virtual int setFrequencyHz(double hz) = 0;
    // The highest frequency the current reference clock allows, in Hz.
    virtual double highestFrequencyHz() const = 0;
};

// Hamlib status codes used in replies.
inline constexpr int RigOk = 0;
inline constexpr int RigInvalid = -1;       // RIG_EINVAL
inline constexpr int RigIo = -6;            // RIG_EIO
inline constexpr int RigProtocol = -8;      // RIG_EPROTO
inline constexpr int RigNotAvailable = -11; // RIG_ENAVAIL

// The rigctld protocol for one connection: one command line in, the whole
// reply out, ready to be written in one go. Knows the plain form and the
// extended form (a leading '+' or another punctuation character that also
// separates the reply's fields). Any text is safe input.
class Session {
public:
    explicit Session(Rig& rig) : m_rig(rig) {}

    // `line` is one line without its line end. Sets `quit` when the client
    // asked to close.
    std::string handle(std::string_view line, bool* quit);

    // The reply to a line that was too long to be a command.
    static std::string lineTooLong() { return "RPRT -8\n"; }

private:
    Rig& m_rig;
};

} // namespace kalimor::rig
