#pragma once

#include "beacon/Schedule.h"
#include "dds/Board.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>
#include <random>
#include <vector>

namespace kalimor::beacon {

// What a beacon sends and how.
struct BeaconSetup {
    enum class Mode { Wspr, Cw, Qrss };
    Mode mode = Mode::Wspr;
    // WSPR
    QString call, grid;
    int dbm = 37;
    double offsetHz = 1500; // audio offset of the signal's centre; negative: random 1400..1600
    int txPercent = 20;
    bool ignoreClock = false;
    // CW and QRSS
    QString text;
    double ditSeconds = 0.06; // 20 WPM
    Keying keying = Keying::OnOff;
    double shiftHz = 0;
    // Every mode: one dial frequency, or several taken in turn frame by frame.
    std::vector<double> dialsHz;
    // One frame (or the text once) at once: no schedule, no clock check.
    bool once = false;
    // At the end, put back the word the board held before instead of
    // powering the output down (the keyer of a generator used as a VFO).
    bool restore = false;
    // Who sends it, for the wording of a refusal: the beacon window, the
    // command line, a client's Morse.
    dds::Controller::Kind kind = dds::Controller::Kind::Beacon;
    // The board already held for it (a client's Morse holds the board from
    // its first text to its last): it neither claims nor lets go.
    std::optional<dds::Controller> heldBy;
};

// Sends a beacon through the board, holding it (the beacon controller) from
// start to stop, also between frames. Every symbol and key edge is a word
// due at its own time from the frame's start, sent from the board's clock;
// the words are the nearest the calibrated reference clock allows.
//
// WSPR frames start 1 s after an even UTC minute, a frame more than 1 s late
// is skipped, a percentage of frames is sent at random, and the system clock
// must be synchronised (unless told to ignore it). CW and QRSS repeat their
// text until stopped.
class Beacon : public QObject {
    Q_OBJECT
public:
    // `refClkHz`: the calibrated reference clock the words are computed at.
    Beacon(const BeaconSetup& setup, double refClkHz, std::int16_t phase,
           QObject* parent = nullptr);
    ~Beacon() override;

    // Takes the board and starts; false, with the reason, when it cannot
    // (a bad message, another controller holding the board).
    bool start(QString* why);
    // Why a carrier at `dialHz` (and up to `shiftHz` above, with 2 kHz of
    // audio) has no word at `refClkHz`; nothing when it has one.
    static std::optional<QString> dialProblem(double dialHz, double shiftHz, double refClkHz);
    // The holder it claims the board as.
    dds::Controller holder() const { return m_holder; }
    void stop();
    bool running() const { return m_running; }
    int framesSent() const { return m_frames; }
    // When the next frame starts (UTC), while one is awaited.
    UtcClock::time_point nextFrame() const { return m_next; }

Q_SIGNALS:
    // A frame went out: "2026-12-07 13:20:01 UTC  dial 14.095600 MHz  14.097100 MHz  K1ABC FN42
    // 37".
    void frameStarted(const QString& line);
    // A frame was not sent, and why (clock, lateness, the percentage).
    void frameSkipped(const QString& why);
    void waiting(const QString& what);
    void failed(const QString& why);
    void finished();

private:
    void scheduleNext();
    void sendFrame(UtcClock::time_point utcStart);
    void frameDone(const dds::SequenceReport& report);

    BeaconSetup m_setup;
    double m_refClkHz;
    std::int16_t m_phase;
    std::vector<WsprMessage> m_messages;
    std::vector<KeyElement> m_elements;
    std::mt19937 m_random{std::random_device{}()};
    QTimer m_timer;
    UtcClock::time_point m_next;
    std::size_t m_frameIndex = 0; // for hopping bands and alternating messages
    int m_frames = 0;
    bool m_running = false;
    bool m_sending = false;
    dds::Held m_before;
    dds::Controller m_holder;
};

} // namespace kalimor::beacon
