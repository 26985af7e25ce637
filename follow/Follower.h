#pragma once

#include "dds/Board.h"
#include "follow/ToneMeter.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

namespace kalimor::follow {

// How the follower keys the output.
enum class Keying : std::uint8_t {
    Cat, // a client's T 1 to T 0, and only while a tone is measured
    Vox, // while the audio is louder than the threshold, and 50 ms after
};

struct FollowSetup {
    Keying keying = Keying::Cat;
    double dialHz = 14'074'000;
    double thresholdDb = -40; // VOX, and the least level a tone is measured at in either keying
    bool holdDial = false;    // between transmissions the output holds the dial, not off
    std::chrono::milliseconds hang{50};
    std::chrono::milliseconds txTimeout{std::chrono::minutes(10)}; // zero: none
};

// What the window and the command line show.
struct FollowStatus {
    double levelDb = -200;
    std::optional<double> toneHz; // measured in the last reading
    bool keyed = false;           // holds the board to transmit
    bool on = false;              // the output is on (keyed, a tone, at dial + tone)
    bool ptt = false;             // the client's T 1
    bool timedOut = false;
    double dialHz = 0;
    std::int64_t readings = 0, loads = 0;
    QString problem; // why the output is not what it should be; empty when all is well
};

// Makes the board the transmitter of whatever tone the audio carries: each
// reading of the tone meter loads dial + tone (upper sideband) at the
// calibrated clock, a word only when it changes, while the keying allows;
// otherwise the output is off (or holds the dial, when asked). It keys as a
// holder of the board of its own kind, a keyed one, so the carrier guard,
// the port's own guard and the refusals of other controllers apply to it as
// to a client's PTT; unlike PTT keying, the VFO's words do not reach the
// board through it while it transmits. Every call may come from any thread:
// a lock keeps them in turn, and each load is made under it.
class Follower {
public:
    Follower(const FollowSetup& setup, double refClkHz);
    ~Follower();
    Follower(const Follower&) = delete;
    Follower& operator=(const Follower&) = delete;

    // Loads the dial, off or held; false, with `why`, when the board refused.
    bool start(QString* why = nullptr);
    void reading(const Reading& r);
    // The audio ended or stalled: the output goes off, the board is let go.
    void silence();
    // The run ends: the output off, a held dial too, and the board let go.
    void finish();
    // T 1 / T 0 (CAT keying; VOX only remembers it).
    void setPtt(bool on);
    // F: the dial for the next transmission, or for this one from its next word.
    bool setDialHz(double hz);
    double dialHz() const;
    FollowStatus status() const;
    // Told, on the caller's thread, each time the problem changes (empty: gone).
    void onProblem(std::function<void(const QString&)> f);
    dds::Controller holder() const { return m_holder; }

private:
    void key(bool on);
    void load(std::int32_t word, bool on, dds::Controller by);
    void idle();
    void problem(const QString& why);

    mutable std::mutex m_mutex;
    FollowSetup m_setup;
    double m_refClkHz;
    const dds::Controller m_holder = dds::Controller::make(dds::Controller::Kind::Follower);
    FollowStatus m_status;
    std::optional<std::int32_t> m_lastWord;
    bool m_lastOn = false;
    double m_lastLoud = -1e9; // audio seconds of the last reading above the threshold
    double m_keyedSince = 0;  // audio seconds
    std::function<void(const QString&)> m_onProblem;
};

} // namespace kalimor::follow
