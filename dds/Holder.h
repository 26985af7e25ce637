#pragma once

#include <QMetaType>
#include <QString>

#include <cstdint>
#include <mutex>
#include <optional>

namespace kalimor::dds {

// Who holds the board. One at a time: the VFO (the main window, and the
// network sets that act through it) holds it unless another has claimed it;
// the sweep from the Sweep press to Done, the analyser for a run, a beacon
// while it sends, PTT keying from T 1 to T 0, the audio follower while it
// keys (by a client's T 1 or by VOX). The kind picks the wording; the
// identity makes each beacon (the window's, the command line's, a client's
// Morse) a holder of its own, so one cannot take the board from another.
struct Controller {
    enum class Kind : std::uint8_t {
        Vfo,
        Sweep,
        Analyser,
        Beacon,
        BeaconCli,
        Keyer,
        Ptt,
        Follower
    };
    Kind kind = Kind::Vfo;
    std::uint32_t id = 0;
    // There is one of each of these; a beacon window's beacon may use
    // Beacon, every other beacon makes its own.
    static const Controller Vfo, Sweep, Analyser, Beacon;
    // A holder of `kind` unlike any other.
    static Controller make(Kind kind);
    // Whether it keys a transmitter: the output must go off when the
    // program dies, and a port that can guard the carrier by itself does.
    bool keyed() const;
    bool operator==(const Controller&) const = default;
};
inline constexpr Controller Controller::Vfo{Controller::Kind::Vfo, 0};
inline constexpr Controller Controller::Sweep{Controller::Kind::Sweep, 0};
inline constexpr Controller Controller::Analyser{Controller::Kind::Analyser, 0};
inline constexpr Controller Controller::Beacon{Controller::Kind::Beacon, 0};

// The words a refusal gives for `holder` ("Close the sweep window first").
// They are the windows' (ui/Holders), handed down once at start-up, so that
// what the board and the instruments' logic raise reads as the windows do.
using RefusalWording = QString (*)(Controller holder);
void setRefusalWording(RefusalWording wording);
// The refusal for `holder` in the words handed down; a plain sentence naming
// no window until they are.
QString refusal(Controller holder);

// Who holds the board, and PTT keying's gate; asked from any thread. The
// board takes and gives it on a claim or a release and asks it at each load.
class Holding {
public:
    // Takes the board for `who` when the VFO holds it: the holder that
    // refuses otherwise (the VFO cannot take it back that way). `changed`
    // says whether it changed hands.
    std::optional<Controller> take(Controller who, bool& changed);
    bool holds(Controller who) const;
    // Back to the VFO.
    void giveBack();
    Controller holder() const;
    // While on, the VFO's loads go out with the output powered down unless
    // PTT keying holds the board (T 1), whose loads go through.
    void setPttKeying(bool on);
    bool pttKeying() const;
    // Whether `by` may load now (else raises err::BoardHeld naming the
    // holder), and whether its load must go out powered down.
    bool mustPowerDown(Controller by) const;

private:
    mutable std::mutex m_mutex;
    Controller m_holder = Controller::Vfo;
    bool m_pttKeying = false;
};

} // namespace kalimor::dds

Q_DECLARE_METATYPE(kalimor::dds::Controller)
