#pragma once

#include "core/Error.h"
#include "dds/BoardClock.h"
#include "dds/BoardThread.h"
#include "dds/Chip.h"
#include "dds/Holder.h"
#include "dds/Port.h"
#include "dds/PortSpec.h"
#include "dds/QueuedSequence.h"
#include "dds/SequenceDriver.h"
#include "dds/SweepDriver.h"
#include "dds/SweepState.h"
#include "dds/TimedDriver.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace kalimor {
namespace dds {

// The one owner of the board, on a thread of its own: the port back-end, its
// address, the word the board holds, and the sweep with its 10 ms clock.
// Every window, Calibrate and the network server load through it and ask it
// what the board holds; a load from another thread waits for the board's
// answer, so a failed port is still reported to the caller at once, while
// the windows never share the board's state under a lock they paint under.
//
// The board's thread (BoardThread) waits on the jobs other threads hand it
// and on the board's clock (BoardClock: a timerfd armed at absolute times,
// whose schedule the kernel keeps without drift). The timed drivers run
// there: a sweep's (SweepDriver: the board's clock, or a bridge's timed
// queue) and a sequence's (SequenceDriver); the window is told what was
// sent at most 30 times a second and at Stop. For that thread only,
// real-time priority is asked for at the first sweep (SCHED_FIFO where the
// process may, else RealtimeKit over D-Bus, else normal priority).
class Board : public QObject, private DriverHost, private BoardThread::Handler {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t StreamLength = 82;
    static constexpr std::chrono::milliseconds Period{10};

    // `clock` null: the system's (CLOCK_MONOTONIC and a timerfd).
    explicit Board(std::unique_ptr<BoardClock> clock = nullptr);
    ~Board() override;
    // Now on the board's clock, which times the sequences' words.
    Clock::time_point now() const { return m_clock->now(); }

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
    // The same without waiting for the board's answer where the port can
    // (the bridge): the word goes at once and its answer is read by a later
    // call, which raises a refusal or a lost link found then before its own
    // word goes. A word with the output powered down is waited for as load
    // waits, and so are the answers of every word before it: when it returns
    // the board has said the carrier is off. For a source of words that
    // must keep pace with something else (the audio follower).
    void loadAhead(std::int32_t word, std::int16_t phase, std::int16_t powerDown,
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
    // A word already due goes out at once. Ends with sequenceDone. On a port
    // with a timed queue (the bridge) the words are queued ahead and latched
    // by the board's own timer instead; Stop then drops what it still holds
    // queued and powers the output down. Its report's `sent` counts the
    // words the board latched; `worstLate` is how late a word was queued
    // after its time, or at least 0.5 ms when the board latched one that late.
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
    void onThread(const std::function<void()>& f) const { m_thread.onThread(f); }
    // Real-time priority for the board's thread, asked once, at the first
    // sweep or sequence.
    void askForRealtime();

    // DriverHost: what the timed drivers use, on the board's thread.
    void write(std::int32_t word, std::int16_t phase, std::int16_t powerDown) override;
    std::uint8_t controlByte(std::int16_t phase, std::int16_t powerDown) const override;
    void setHeld(const Held& held) override;
    BoardClock& clock() override { return *m_clock; }
    void observe(Clock::time_point due, Clock::time_point sent) override;
    void tellSwept(const SweepTick& tick) override { Q_EMIT swept(tick); }
    void tellSequenceDone(const SequenceReport& report) override { Q_EMIT sequenceDone(report); }

    // load and loadAhead: the holder's rules, then the word on the board's thread.
    void loadBy(std::int32_t word, std::int16_t phase, std::int16_t powerDown, Controller by,
                bool ahead);
    // Loads a word; `ahead`: without waiting for the answer where the port can.
    void send(std::int32_t word, std::int16_t phase, std::int16_t powerDown, bool ahead);

    // BoardThread::Handler: what the loop does for the board.
    void woke() override { keepAliveIfKeyed(); }
    void clockFired(std::uint64_t expirations) override;
    int idleTimeoutMs() const override;
    bool sweepRunning() const override { return m_sweeping; }
    bool busy() const override { return m_sweeping || m_sequence->running(); }

    // The port beneath a trace, where there is one.
    PortBackend* innerPort() const;
    // Arms or disarms the port's own guard of a keyed carrier.
    void setKeyed(bool keyed);
    void keepAliveIfKeyed();
    void describeAgain();

    std::unique_ptr<BoardClock> m_clock;
    Holding m_holding;

    // The board's thread only.
    PortBackend* m_port = nullptr;
    std::unique_ptr<PortBackend> m_owned;
    std::atomic<int> m_address{0};
    ChipProfile m_chip;
    std::array<std::uint8_t, StreamLength + 1> m_bytes{};
    SweepRun m_run;
    ClockedSweep m_clockedSweep{*this, m_run};
    QueuedSweep m_queuedSweep{*this, m_run};
    SweepDriver* m_sweepDriver = nullptr; // while a sweep runs
    bool m_sweeping = false;
    ClockedSequence m_clockedSequence{*this};
    QueuedSequenceDriver m_queuedSequence{*this};
    SequenceDriver* m_sequence = &m_clockedSequence; // the one under way, or the last
    bool m_keyed = false;
    Clock::time_point m_lastKeepAlive;
    std::function<void(Clock::time_point, Clock::time_point)> m_observer;

    mutable std::mutex m_mutex; // what other threads read
    Held m_held;
    QString m_scheduling;
    QString m_description = QStringLiteral("no port");
    std::optional<PortSpec> m_choice;
    std::optional<Error> m_failure;

    BoardThread m_thread{*this, *m_clock}; // last: it starts once everything above is made
};

// The program's board, made on first use.
Board& board();
// Makes the program's board now, on `clock`, and stamps the traces from it
// too. False (and nothing changed) when the board was already made.
bool makeBoardOn(std::unique_ptr<BoardClock> clock);

} // namespace dds
} // namespace kalimor
