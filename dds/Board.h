#pragma once

#include "core/Error.h"
#include "dds/Port.h"
#include "dds/PortSpec.h"
#include "dds/SweepState.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace kalimor {
namespace dds {

// An AD9851 runs at 180 MHz at most: 30 MHz times its multiplier.
inline constexpr int MaxCrystalWithMultiplierMHz = 30;

// The chip on the board. The AD9851 has a 6x reference-clock multiplier,
// switched on by W32 in the control byte; the AD9850 has none (W32 and W33
// stay 0 on both).
struct ChipProfile {
    enum class Chip { AD9850, AD9851 };
    Chip chip = Chip::AD9850;
    bool multiplier = false;
    // Clock multiplier in effect: the reference clock is the crystal times this.
    int clockFactor() const { return chip == Chip::AD9851 && multiplier ? 6 : 1; }
    QString name() const;
    // Settings and command-line forms: "AD9850", "AD9851", "AD9851x6".
    static std::optional<ChipProfile> fromText(const QString& text);
    QString text() const;
    bool operator==(const ChipProfile&) const = default;
};

// What the board holds: the last load that reached it.
struct Held {
    std::int32_t word = 0;
    std::int16_t phase = 0;
    std::int16_t powerDown = 0;
    bool any = false; // nothing has reached the board yet
};

// What a sweep needs for its ticks; the sweep window hands in a new plan
// whenever a limit, the increment or the clock changes, and the next tick
// uses it.
struct SweepPlan {
    int high = 0, low = 0;  // scroll steps
    int increment = 1;      // scroll steps per tick
    double scrollScale = 1; // scroll steps per display unit
    double freqMult = 1;    // Hz per display unit
    double refClkHz = 0;
    std::int16_t phase = 0, powerDown = 0;
};

// What one tick did.
struct SweepTick {
    int position = 0; // scroll steps
    double hz = 0;
    std::int32_t word = 0;
    std::optional<Error> failure; // why nothing was sent
    std::int64_t ticks = 0;       // since Start
    std::int64_t missed = 0;      // ticks the clock had to drop, since Start
};

// Who holds the board. One at a time: the VFO (the main window, and the
// network sets that act through it) holds it unless another has claimed it;
// the sweep from the Sweep press to Done, the analyser for a run, a beacon
// while it sends, PTT keying from T 1 to T 0. The kind picks the wording; the
// identity makes each beacon (the window's, the command line's, a client's
// Morse) a holder of its own, so one cannot take the board from another.
struct Controller {
    enum class Kind : std::uint8_t { Vfo, Sweep, Analyser, Beacon, BeaconCli, Keyer, Ptt };
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

// What a window shows when `holder` refuses another controller: "Close the
// sweep window first", "A client's Morse is sending: stop it first".
QString refusalText(Controller holder);
// The status line's note while `holder` is not the VFO: "Sweep window open:
// network sets refused".
QString holderNote(Controller holder);

// A word due at `at` from a sequence's start (the beacon's symbols and key
// edges).
struct TimedWord {
    std::chrono::nanoseconds at{0};
    std::int32_t word = 0;
    std::int16_t phase = 0, powerDown = 0;
};

// How a sequence went: the words sent, the latest any was latched after
// its time, and why it ended early (a failed load, or Stop).
struct SequenceReport {
    int sent = 0, total = 0;
    std::chrono::nanoseconds worstLate{0};
    bool stopped = false;
    std::optional<Error> failure;
};

// The one owner of the board, on a thread of its own: the port back-end, its
// address, the word the board holds, and the sweep with its 10 ms clock.
// Every window, Calibrate and the network server load through it and ask it
// what the board holds; a load from another thread waits for the board's
// answer, so a failed port is still reported to the caller at once, while
// the windows never share the board's state under a lock they paint under.
//
// The board's thread is a plain loop, no event loop of the toolkit: it waits
// on the jobs other threads hand it and on the sweep's clock, a timerfd
// armed at absolute times whose schedule (tick n at start + n x 10 ms) the
// kernel keeps without drift. Each tick's load is computed and sent there; a
// tick more than a period late is counted as missed, never sent in a burst;
// the window is told what was sent at most 30 times a second and at Stop. For that thread only,
// real-time priority is asked for at the first sweep (SCHED_FIFO where the
// process may, else RealtimeKit over D-Bus, else normal priority).
class Board : public QObject {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t StreamLength = 82;
    static constexpr std::chrono::milliseconds Period{10};

    Board();
    ~Board() override;

    // The back-end loads go to; not owned; null makes every load fail.
    void setPort(PortBackend* port);
    // The same, owned by the board from now on (the one it owned before goes);
    // `choice` is what it was made from, for Edit > Board... to show.
    void adoptPort(std::unique_ptr<PortBackend> port, std::optional<PortSpec> choice = {});
    PortBackend* port() const;
    // What the port in use was made from, when the board was told.
    std::optional<PortSpec> portChoice() const;
    // The port's own words (describe, driverLines), asked on the board's
    // thread, where the back-end's state lives. The description is kept from
    // the last job that touched the port, so reading it costs no trip.
    QString describePort() const;
    QStringList portDriverLines() const;
    void setChip(const ChipProfile& chip);
    ChipProfile chip() const;
    // The I/O address handed to the back-end with each load; kept by the
    // caller's side, so setting it costs no trip to the board's thread.
    void setAddress(int address);

    // Takes the board for `who`. Refused, with the holder returned, while
    // another controller than the VFO holds it; the VFO cannot take it back
    // that way (the holder releases it). A keyed controller arms the port's
    // own guard of the carrier (PortBackend::setKeyed) for as long as it holds.
    std::optional<Controller> claim(Controller who);
    // Gives the board back to the VFO, if `who` holds it; a sweep or a
    // sequence under way stops first.
    void release(Controller who);
    Controller controller() const;
    // PTT keying: while on, the VFO's loads go out with the output powered
    // down unless PTT keying holds the board (T 1), whose loads go through.
    void setPttKeying(bool on);
    bool pttKeying() const;
    // The last resort of a program that is ending: while a keyed controller
    // holds the board, stops its sequence and loads the held word with the
    // output powered down, whoever holds it; then waits for the trace to
    // hold every load. True when it powered down.
    bool powerDownIfKeyed();
    // Why the last load failed, while none has reached the board since.
    std::optional<Error> lastFailure() const;

    // Loads a word through another port and chip than the board's own, which
    // stay as they were (Edit > Board...'s Test); raises what the port raised.
    void testLoad(PortBackend& port, const ChipProfile& chip, std::int32_t word,
                  std::int16_t phase);
    // Loads a word for `by` and waits for the board's answer; raises
    // Overflow for a control byte that does not fit (nothing is sent), what
    // the port raised, and err::BoardHeld when another controller holds the
    // board (nothing is sent). One trip to the board's thread.
    void load(std::int32_t word, std::int16_t phase, std::int16_t powerDown,
              Controller by = Controller::Vfo);
    Held held() const;
    // The board's analog input, averaged over `samples` readings, in ADC
    // steps: the USB serial bridge's A0 and up. Raises when the port has none.
    double readAnalog(int channel, int samples);
    // A linear scan of the analog input done on the board itself, where the
    // port can (the bridge's scan): `count` points from `startHz` by `stepHz`
    // at `refClkHz`, each settled and read. Nothing where the port cannot.
    std::optional<std::vector<double>> scanAnalog(int channel, int samples, double startHz,
                                                  double stepHz, double refClkHz, int count,
                                                  int settleUs, std::int16_t phase, Controller by);
    // Whether the port is the simulated board (traced or not).
    bool simulated() const;
    // The bytes of the last load, 82 of them.
    std::array<std::uint8_t, StreamLength> lastBytes() const;

    // Starts the sweep at the plan's low limit; `clocked` false leaves the
    // ticks to tickNow (for tests that step a sweep). The sweep must hold the
    // board (claim), else err::BoardHeld.
    void startSweep(const SweepPlan& plan, bool clocked = true);
    void updateSweep(const SweepPlan& plan);
    // Stops the sweep and returns its last tick once no tick is under way.
    SweepTick stopSweep();
    // One tick at once, waited for.
    SweepTick tickNow();
    bool sweeping() const;
    // Where the next tick is.
    SweepState sweepState() const;
    // Sends each word at its time from `start`, on the board's thread from
    // the sweep's clock (the timerfd, armed at each word's absolute time), so
    // that no error accumulates over a sequence; `by` must hold the board.
    // A word already due goes out at once. Ends with sequenceDone.
    void startSequence(std::vector<TimedWord> words, Clock::time_point start, Controller by);
    // Ends a sequence once no load is under way; its report follows.
    void stopSequence();
    bool sequencing() const;

    // How the board's thread is scheduled: empty until the first sweep or
    // sequence.
    QString scheduling() const;
    // Called on the board's thread after each clocked tick: when it was due
    // and when its load had gone out (for the benchmark).
    void setTickObserver(std::function<void(Clock::time_point due, Clock::time_point sent)> f);

Q_SIGNALS:
    // The board changed hands. Delivered on the receiver's thread.
    void controllerChanged(kalimor::dds::Controller holder);
    // A sequence ended: all sent, stopped, or a load failed.
    void sequenceDone(const kalimor::dds::SequenceReport& report);
    // At most 30 times a second during a sweep, at once after a failure or
    // a recovery, and at Stop. Delivered on the receiver's thread.
    void swept(const kalimor::dds::SweepTick& tick);

private:
    // Each waiting caller is woken on its own condition, not by a broadcast
    // to every waiter; a job takes microseconds, so the caller first watches
    // `finished` for a moment rather than paying for a sleep and a wake-up.
    // A load while the board has no clock running is done on the caller's
    // own thread under m_own, which the board's thread holds whenever it is
    // not asleep in poll: a trip would cost two context switches and a
    // watch that holds a core, for nothing to keep in time.
    struct Job {
        std::function<void()> run;
        std::exception_ptr failure;
        std::mutex mutex;
        std::condition_variable woken;
        bool done = false;
        std::atomic<bool> finished{false};
    };
    void onThread(const std::function<void()>& f) const;
    // Runs `f` at once on this thread when the board is idle and free;
    // false, with nothing run, when it must go to the board's thread.
    bool runHereIfIdle(const std::function<void()>& f);
    void loop();
    void runJobs();
    bool jobsWaiting() const;
    void watch();
    void setClock(bool on);
    // Real-time priority for the board's thread, asked once, at the first
    // sweep or sequence.
    void askForRealtime();
    void write(std::int32_t word, std::int16_t phase, std::int16_t powerDown);
    void tick(bool clocked);
    std::uint8_t controlByte(std::int16_t phase, std::int16_t powerDown) const;
    // The sweep through a bridge's timed queue.
    std::int64_t queueTickNow() const;
    void topUp(std::int64_t nNow);
    void queueTick();
    // Keeps `t` as the last tick, and tells the window when it is due a readout.
    void showTick(const SweepTick& t, bool clocked);
    void sequenceStep();
    void endSequence(bool stopped, std::optional<Error> failure);
    void armAt(Clock::time_point when);
    // The port beneath a trace, where there is one.
    PortBackend* innerPort() const;
    // Arms or disarms the port's own guard of a keyed carrier.
    void setKeyed(bool keyed);
    void keepAliveIfKeyed();

    int m_wake = -1; // eventfd: jobs are waiting
    // The board's thread is looking at the queue by itself for a moment after
    // its last job, so a caller need not wake it (a burst of network sets).
    std::atomic<bool> m_watching{false};
    int m_timer = -1; // timerfd: the sweep's clock
    std::atomic<bool> m_quit{false};
    mutable std::mutex m_jobsMutex;
    mutable std::deque<Job*> m_jobs;
    mutable std::atomic<int> m_jobCount{0}; // m_jobs.size(), to watch without the lock
    // Whoever acts on the board's state holds this: the board's thread from
    // each wake-up to its next poll, or a caller loading in its stead.
    std::mutex m_own;
    std::atomic<std::thread::id> m_owner{};

    // The board's thread only.
    PortBackend* m_port = nullptr;
    std::unique_ptr<PortBackend> m_owned;
    void describeAgain();
    std::atomic<int> m_address{0};
    ChipProfile m_chip;
    std::array<std::uint8_t, StreamLength + 1> m_bytes{};
    Clock::time_point m_start; // tick n is due at m_start + n x Period
    std::int64_t m_n = 0;
    std::int64_t m_missed = 0;
    SweepState m_sweep;
    SweepPlan m_plan;
    SweepTick m_last;
    bool m_sweeping = false;
    struct Queued {
        std::int64_t n = 0; // the tick's number from the sweep's start
        SweepTick tick;
        SweepState after;        // where the sweep stands once it is sent
        std::uint32_t dueUs = 0; // on the board's clock
        double due = 0;          // the same, unwrapped
    };
    class SerialBridgePort* m_queueBridge = nullptr;
    Clock::time_point m_hostStart; // tick 0 on our clock
    std::int64_t m_queuedN = 0;
    double m_nextDue = 0; // tick m_queuedN's due time on the board's clock, unwrapped
    std::deque<Queued> m_queued;
    int m_queueOpens = 0;           // the link's open the queue's times belong to
    std::int64_t m_queueMissed = 0; // ticks not queued in time, or lost with the board's queue
    std::int64_t m_confirmedN = -1; // the last tick the board's clock was seen to pass
    std::uint16_t m_lateBase = 0;   // the board's count of late latches at the start
    bool m_lateKnown = false;
    std::atomic<double> m_queuePpm{0}; // the board's clock error, for the status line; NaN unknown
    void startQueue(class SerialBridgePort* bridge);
    std::int64_t m_lateCount = 0; // ticks the board latched late since the start
    std::atomic<bool> m_queueMode{false};
    std::vector<TimedWord> m_sequence;
    std::size_t m_sequenceNext = 0;
    Clock::time_point m_sequenceStart;
    SequenceReport m_report;
    std::atomic<bool> m_sequencing{false};
    bool m_lastFailed = false;
    Clock::time_point m_lastShown;
    bool m_keyed = false;
    Clock::time_point m_lastKeepAlive;
    std::function<void(Clock::time_point, Clock::time_point)> m_observer;

    mutable std::mutex m_mutex; // what other threads read
    Held m_held;
    QString m_scheduling;
    QString m_description = QStringLiteral("no port");
    std::optional<PortSpec> m_choice;
    Controller m_controller = Controller::Vfo;
    bool m_pttKeying = false;
    std::optional<Error> m_failure;

    std::thread m_thread; // last: it starts once everything above is made
};

// The program's board, made on first use.
Board& board();

} // namespace dds
} // namespace kalimor

Q_DECLARE_METATYPE(kalimor::dds::SweepTick)
Q_DECLARE_METATYPE(kalimor::dds::Controller)
Q_DECLARE_METATYPE(kalimor::dds::SequenceReport)
