#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kalimor::rig {

struct Name; // a command's names, what it takes and what it does
struct Call; // one command's arguments and what running it gave

// What a rigctld client can ask of the generator.
class Rig {
public:
    virtual ~Rig() = default;
    // The frequency the generator is set to, in Hz: its dial, keyed or not.
    virtual double frequencyHz() const = 0;
    // The same as a Hamlib status: non-zero when the generator cannot be read
    // (nothing has reached the board, and the last load failed).
    virtual int readFrequencyHz(double* hz) const {
        *hz = frequencyHz();
        return 0;
    }
    // Sets the output; returns a Hamlib status: 0 sent, -1 out of range
    // (the board is powered down), -6 the port failed, -9 another controller
    // (the sweep, the analyser) holds the board and nothing changed.
    virtual int setFrequencyHz(double hz) = 0;
    // The highest frequency the current reference clock allows, in Hz.
    virtual double highestFrequencyHz() const = 0;
    // PTT: 0 off, 1..3 on. A Hamlib status; remembered by the session when 0.
    virtual int setPtt(int) { return 0; }
    // What `t` answers when the rig knows better than the last T (a
    // transmit time-out keyed down); nothing: the last T.
    virtual std::optional<int> ptt() const { return std::nullopt; }
    // Morse through the keyer: queued after what is being sent; -11 where
    // there is none, -9 when another controller holds the board, -1 when the
    // keyer cannot key at the dial, -3 when the queue is full.
    virtual int sendMorse(std::string_view) { return -11; }
    virtual int stopMorse() { return -11; }
    virtual bool morseBusy() const { return false; }
    // Whether \dump_caps may say "Can send Morse: Y".
    virtual bool canSendMorse() const { return false; }
};

// Hamlib status codes used in replies.
inline constexpr int RigOk = 0;
inline constexpr int RigInvalid = -1;       // RIG_EINVAL
inline constexpr int RigNoMemory = -3;      // RIG_ENOMEM
inline constexpr int RigIo = -6;            // RIG_EIO
inline constexpr int RigProtocol = -8;      // RIG_EPROTO
inline constexpr int RigRejected = -9;      // RIG_ERJCTED: command rejected by the rig
inline constexpr int RigNotAvailable = -11; // RIG_ENAVAIL

// What clients set that a signal generator has no use for but must give back:
// to WSJT-X, fldigi and gpredict the generator is a rig, and a rig that
// refuses a mode or PTT is a broken rig to them. One per server, shared by its
// clients, since they all talk to the same rig. None of it reaches the board.
struct RigState {
    static constexpr int DefaultPassband = 3000; // Hz; what 0 and -1 stand for
    std::string mode = "USB";
    int passband = DefaultPassband;
    int ptt = 0;          // 0 receive, 1 transmit, 2 mic, 3 data
    bool touched = false; // a client has set mode or PTT
};

// What one connection keeps between its commands.
struct Connection {
    bool vfoMode = false; // \set_vfo_opt 1: a VFO name before each command's arguments
    bool waiting = false; // \wait_morse holds the reply until the keyer is done
    std::string vfo = "VFOA";
};

// The rigctld protocol for one connection: one command line in, the whole
// reply out, ready to be written in one go. Knows the plain form and the
// extended form (a leading '+' or another punctuation character that also
// separates the reply's fields), and Hamlib's VFO mode (\set_vfo_opt 1), in
// which a VFO name stands before each command's arguments. Any text is safe
// input.
class Session {
public:
    explicit Session(Rig& rig) : m_rig(rig), m_state(&m_ownState) {}
    Session(Rig& rig, RigState& shared) : m_rig(rig), m_state(&shared) {}

    // `line` is one line without its line end. Sets `quit` when the client
    // asked to close; the reply is then empty, as Hamlib's server gives none.
    std::string handle(std::string_view line, bool* quit);

    // After \wait_morse while the keyer sends: the reply is held, and the
    // client's further lines, until the rig's keyer is done.
    bool waiting() const { return m_connection.waiting && m_rig.morseBusy(); }
    void stopWaiting() { m_connection.waiting = false; }

    // Commands one line may hold; the rest of a longer line is refused.
    static constexpr int MaxCommandsPerLine = 32;

    // The reply to a line that was too long to be a command.
    static std::string lineTooLong() { return "RPRT -8\n"; }

private:
    // A command about to run, with the state it runs on.
    Call call(std::vector<std::string_view> args);
    // Lays out what a command gave, as Hamlib's server does; runs nothing.
    std::string reply(const Name* name, std::string_view word, const Call& done,
                      const std::vector<std::string_view>& echo, char sep, bool* quit);

    Rig& m_rig;
    RigState m_ownState;
    RigState* m_state;
    Connection m_connection;
};

} // namespace kalimor::rig
