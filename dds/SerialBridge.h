#pragma once

#include "dds/ClockFit.h"
#include "dds/Port.h"
#include "dds/SerialLine.h"
#include "firmware/protocol.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace kalimor::dds {

// The Kalimor bridge's frames (firmware/protocol.h): SYNC LEN CMD PAYLOAD CRC,
// CRC-8/CCITT over LEN, CMD and PAYLOAD.
namespace bridge {
inline constexpr std::uint8_t Sync = BRIDGE_SYNC;
inline constexpr std::uint8_t Version = BRIDGE_VERSION;
inline constexpr std::uint8_t NoSeq = BRIDGE_NO_SEQ; // an answer to no request the board could read
inline constexpr int MaxLength = BRIDGE_MAX_LEN;
QByteArray frame(const QByteArray& body);
// Takes one whole frame off the front of `in` when there is one; bytes that
// cannot start a frame are dropped. A frame with a bad CRC is dropped too.
std::optional<QByteArray> takeFrame(QByteArray* in);
} // namespace bridge

// An AD9850 module behind an ATmega328P running firmware/ (an Arduino Uno or
// Nano) on a USB serial port. Opening waits for the board's banner (the board
// resets when the port opens, and its bootloader takes up to about 2 s) and
// checks the protocol version; each load goes as one frame and waits for its
// acknowledgement, or, sent ahead (writeAhead), has it read later. A board
// that stops answering (unplugged, reset) is reported, and the next load
// opens the link again.
//
// Every request carries a sequence number its answer echoes: what is left in
// the input is drained before a request, an answer with another number (a
// late one, a duplicate, a stray refusal) is passed over, so the outcome
// reported for a load is the board's answer to that load. Nothing the device
// sends can hold the board's thread for long: an exchange ends within
// AnswerWait and an open within OpenWait, and a device that did not answer as
// a bridge is tried again at most every RetryAfter, each load in between
// failing at once with its reason.
class SerialBridgePort : public PortBackend,
                         public AnalogInput,
                         public TimedQueue,
                         public BoardScan {
public:
    static constexpr std::chrono::milliseconds BannerWait{2500};
    // A board that did not reset is asked at each speed for this long.
    static constexpr std::chrono::milliseconds ProbeWait{200};
    static constexpr std::chrono::milliseconds OpenWait{3300};
    // After a speed change's answer, before the first byte at the new speed.
    static constexpr std::chrono::milliseconds SwitchWait{5};
    static constexpr std::chrono::milliseconds AnswerWait{250};
    static constexpr std::chrono::milliseconds RetryAfter{2000};

    explicit SerialBridgePort(QString device);
    ~SerialBridgePort() override;
    void write(int address, const std::uint8_t* bytes, std::size_t count) override;
    // A load sent ahead: its frame goes at once and its answer is read by a
    // later call, so a USB chip's latency (16 ms on an FT232R left at its
    // default) neither spaces the loads nor delays them. Every other request
    // first waits for the answers owed, and a load that waits (write) goes
    // at once behind them, then waits for them and its own. A refusal among
    // them is raised by the next load: one sent ahead raises it before its
    // own frame goes (it is not sent), one that waits once it is answered.
    // An answer owed longer than AnswerWait loses the link, as an
    // exchange's does.
    void writeAhead(int address, const std::uint8_t* bytes, std::size_t count) override;
    // The bytes of the frames owed an answer stay within the firmware's
    // receive ring (64 bytes): it parses and answers back-to-back loads
    // slower than 1,000,000 baud brings them, and 16 loads sent at once
    // overflowed it on the emulated board. Six loads of 10 bytes are owed
    // at most: some 360 a second with answers 16 ms late.
    static constexpr int AheadBytes = 63;
    QString describe() const override;
    QStringList driverLines() const override;
    // The board's dead-man guard (firmware with the guard capability): armed
    // while keyed, the board powers the chip down by itself when no frame
    // has come for 2 s. Raises, once, when the guard did so. Arming goes
    // ahead, as a load can: the board arms as it reads the frame, before
    // any word sent after it, so the first keyed word need not wait for the
    // answer, which the next call reads.
    void setKeyed(bool keyed) override;
    void keepAlive() override;
    // The fastest speed the link is raised to (115200, 500000 or 1000000).
    void setTopSpeed(int baud) { m_topBaud = baud; }
    int baud() const { return m_baud; }
    int opens() const override { return m_opens; }
    AnalogInput* analogInput() override { return this; }
    TimedQueue* timedQueue() override { return this; }
    BoardScan* boardScan() override { return this; }

    // The timed queue (firmware with the queue capability).
    bool hasQueue() override;
    std::uint32_t boardTimeUs() override;
    QueueReply queue(const std::vector<QueuedLoad>& loads) override;

    // The board's clock against ours (ClockFit).
    std::optional<double> boardAt(SerialLine::Clock::time_point t) const override {
        return m_clock.boardAt(t);
    }
    double clockRatio() const override { return m_clock.ratio(); }
    std::optional<double> clockErrorPpm() const override { return m_clock.errorPpm(); }
    int dropAfter(std::uint32_t afterUs) override;
    Latched lastLatched() override;
    SerialLine::Clock::time_point lastSentAt() const override { return m_sentAt; }
    // The scan on the board (firmware with the scan capability): `count`
    // points from `startWord` by `stepWord`, each loaded, settled and read
    // there, the readings streamed back: the averages, in ADC steps.
    bool hasScan() override;
    std::vector<double> scan(int channel, int samples, std::uint64_t startWord16,
                             std::uint64_t stepWord16, int count, std::uint32_t settleUs,
                             std::uint8_t control) override;

    // The average of `samples` (1..64) readings of analog input `channel`,
    // in ADC steps (0..1023) with the fraction the average keeps.
    double readAnalog(int channel, int samples) override;

    // Serial ports that look like a bridge: USB serial chips of the Arduino
    // boards (CH340 1a86:7523, FT232R 0403:6001, the Uno's 2341:0043, ...).
    struct Candidate {
        QString device, description;
    };
    static std::vector<Candidate> candidates();

private:
    void open();
    // Opens the link unless it is open, or an open failed less than
    // RetryAfter ago (then raises that failure again).
    void ensureOpen();
    // Asks who is there at the line's present speed.
    int identify(SerialLine::Clock::time_point deadline);
    void guard(bool armed);
    QString guardFiredReport() const;
    void close();
    [[noreturn]] void notABridge(const QString& why);
    // Sends CMD, a fresh sequence number and the rest of `body`, and returns
    // the answer `answer` that carries the number back.
    QByteArray exchange(const QByteArray& body, char answer);
    // Waits for the answers owed, drains the input, numbers `body` (CMD,
    // then the rest) and writes it; the number, or nothing when the port
    // takes no data.
    std::optional<std::uint8_t> send(const QByteArray& body);
    // Numbers `body` and writes it, nothing read or drained.
    std::optional<std::uint8_t> transmit(const QByteArray& body);
    // The load's frame, from the stream of 80 bytes and more a port is handed.
    static QByteArray loadBody(const std::uint8_t* bytes, std::size_t count);
    // Sends a request whose answer (`answer`) is read later.
    void post(const QByteArray& body, char answer);
    // Reads the answers owed to frames sent ahead until no more than `keep`
    // are owed or `until` has come; keeps the first refusal among them for
    // the next load to raise, and loses the link when one is missing.
    void takeAnswers(std::size_t keep, SerialLine::Clock::time_point until);
    void raiseRefused();
    // The same as exchange without giving up the link: nothing when no answer came, the
    // refusal raised as by exchange.
    std::optional<QByteArray> request(const QByteArray& body, char answer);
    // After the banner: the fastest speed both ends keep (1000000 or 500000
    // baud), checked with a frame at it; back to 115200 where none holds.
    void raiseSpeed();
    std::optional<QByteArray> awaitFrame(SerialLine::Clock::time_point deadline);
    [[noreturn]] void lost(const QString& why);

    QString m_device;
    SerialLine m_port;
    QByteArray m_in;
    QString m_identity;
    std::uint8_t m_seq = 0;
    std::uint8_t m_caps = 0;
    int m_baud = 115200;
    int m_topBaud = 1000000;
    int m_opens = 0;
    bool m_keyed = false;
    QString m_guardFired; // the guard's report, raised once
    SerialLine::Clock::time_point m_sentAt, m_lastSent;
    ClockFit m_clock;
    struct Owed {
        std::uint8_t seq;
        char answer;                      // 'A' for a load, 'k' for the guard
        int bytes;                        // the frame's
        SerialLine::Clock::time_point by; // lost when no answer has come
    };
    std::deque<Owed> m_owed; // requests sent ahead, oldest first
    QString m_refused;       // what the board refused of them, not yet told
    bool m_writeFailed = false;
    QString m_openFailure; // why the last open failed, told again until RetryAfter
    SerialLine::Clock::time_point m_openFailed;
};

} // namespace kalimor::dds
