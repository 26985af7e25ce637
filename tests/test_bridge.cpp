// The bridge end to end without hardware: the real firmware on an emulated
// ATmega328P, Kalimor's real bridge back-end on the other end of its serial
// line, every latched word decoded from the pins by the emulated AD9850.
#include "EmulatedBridge.h"
#include "LoadStream.h"
#include "Raised.h"
#include "analyser/Analysis.h"
#include "analyser/BoardScan.h"
#include "analyser/SweepRunner.h"
#include "core/Numbers.h"
#include "dds/Board.h"
#include "dds/Port.h"
#include "dds/PortSpec.h"
#include "dds/SerialBridge.h"
#include "dds/mdlSetKalimor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace kalimor;
using namespace kalimor::dds;

namespace {

// A raw line to the board, for what the back-end would never send.
class RawLine {
public:
    explicit RawLine(const std::string& device)
        : m_fd(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        termios raw{};
        tcgetattr(m_fd, &raw);
        cfmakeraw(&raw);
        cfsetspeed(&raw, B115200);
        tcsetattr(m_fd, TCSANOW, &raw);
    }
    ~RawLine() { ::close(m_fd); }
    void send(const QByteArray& bytes) {
        ASSERT_EQ(::write(m_fd, bytes.data(), bytes.size()), bytes.size());
    }
    // The next frame's body, waiting up to two seconds.
    QByteArray next() {
        for (int i = 0; i < 2000; ++i) {
            if (auto body = bridge::takeFrame(&m_in)) return *body;
            char buffer[64];
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n > 0)
                m_in.append(buffer, n);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return {};
    }

private:
    int m_fd;
    QByteArray m_in;
};

// Long enough for the clock's fit to settle and to show a rate error of
// 0.05 % in the mean period.
constexpr int SweepSeconds = 10;

class Bridge : public ::testing::Test {
protected:
    EmulatedBridge board{KALIMOR_BRIDGE_ELF};
};

} // namespace

TEST_F(Bridge, AThousandLoadsEachLatchedOnceExactly) {
    SerialBridgePort port(QString::fromStdString(board.device()));
    std::mt19937 random(7);
    std::vector<DdsState> expected;
    for (int i = 0; i < 1000; ++i) {
        const std::uint32_t word = random();
        const std::uint8_t control = std::uint8_t((random() % 32) << 3 | (i % 7 == 0 ? 4 : 0));
        const auto bytes = loadStream(word, control);
        port.write(0, bytes.data(), bytes.size());
        expected.push_back({word, control, control >> 3, (control & 4) != 0, 40});
    }
    const auto latched = board.latched();
    EXPECT_EQ(board.serialEntries(), 1) << "serial mode is entered at reset";
    ASSERT_EQ(latched.size(), 1000u);
    for (size_t i = 0; i < latched.size(); ++i) {
        EXPECT_EQ(latched[i].ftw, expected[i].ftw) << i;
        EXPECT_EQ(latched[i].control, expected[i].control) << i;
        EXPECT_EQ(latched[i].clocks, 40) << i;
    }
}

TEST_F(Bridge, DamagedFramesAreRefusedAndNothingIsLatched) {
    RawLine line(board.device());
    EXPECT_EQ(line.next()[0], 'B'); // the banner as the port opens
    const QByteArray good = bridge::frame(QByteArray("L\x09\x11\x22\x33\x44\x08", 7));
    QByteArray badCrc = good;
    badCrc[badCrc.size() - 1] = char(badCrc.back() ^ 0x5A);
    // The refusal carries the request's number where the board could read it.
    struct Case {
        QByteArray bytes;
        QByteArray reply;
    } cases[] = {
        {badCrc, QByteArray("E\xFF\x01", 3)},
        {bridge::frame("Z\x07"), QByteArray("E\x07\x02", 3)},
        {bridge::frame(QByteArray("L\x08\x01\x02", 4)), QByteArray("E\x08\x03", 3)},
        {QByteArray("\xA5\x00", 2), QByteArray("E\xFF\x03", 3)},
        {good.left(5), QByteArray("E\xFF\x04", 3)}, // cut short: refused once the bytes stop
    };
    for (const auto& c : cases) {
        line.send(QByteArray("garbage \x13\x37", 10) + c.bytes);
        EXPECT_EQ(line.next(), c.reply);
        EXPECT_TRUE(board.latched().empty());
    }
    line.send(good);
    EXPECT_EQ(line.next(), QByteArray("A\x09L", 3));
    ASSERT_EQ(board.latched().size(), 1u);
    EXPECT_EQ(board.latched()[0].ftw, 0x44332211u);
    EXPECT_EQ(board.latched()[0].phase, 1);
    // A program of the first version asks without a number and learns the
    // firmware's version, to tell its user to update.
    line.send(bridge::frame("I"));
    EXPECT_TRUE(line.next().startsWith(QByteArray("i\x03", 2)));
}

TEST_F(Bridge, AnalogReadingsAreAveraged) {
    SerialBridgePort port(QString::fromStdString(board.device()));
    for (std::uint32_t mv : {0u, 1250u, 2500u, 4990u}) {
        board.setAnalog(0, mv);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_NEAR(port.readAnalog(0, 16), mv * 1023.0 / 5000, 1.0) << mv;
    }
}

TEST_F(Bridge, AResetMidRunIsReportedAndRecovered) {
    SerialBridgePort port(QString::fromStdString(board.device()));
    const auto first = loadStream(1000, 0);
    port.write(0, first.data(), first.size());
    board.reset();
    const auto second = loadStream(2000, 0);
    bool failedOnce = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const Raised r = raised([&] { port.write(0, second.data(), second.size()); });
        if (r.number == 0) break;
        failedOnce = true;
        EXPECT_TRUE(r.description.contains(QStringLiteral("lost"))) << qPrintable(r.description);
    }
    EXPECT_TRUE(failedOnce) << "a reset mid-run went unnoticed";
    // The reset, and the reopening (the port's DTR resets the board again).
    EXPECT_GE(board.serialEntries(), 2);
    EXPECT_EQ(board.latched().back().ftw, 2000u);
}

// What --port serial:DEVICE and Edit > Board... set up: the bridge as the
// board's port, loaded through WriteDDSWord on the board's thread.
TEST_F(Bridge, TheProgramDrivesItThroughTheBoard) {
    QString why;
    const auto choice =
        parsePortSpec(QStringLiteral("serial:") + QString::fromStdString(board.device()), &why);
    ASSERT_TRUE(choice) << qPrintable(why);
    dds::board().adoptPort(makeBackend(*choice));
    WriteDDSWord(302365698, 5, 0); // 7.04 MHz at 100 MHz, phase 56.25 degrees
    // The link went up to the fastest speed both ends keep.
    EXPECT_TRUE(dds::board().portDriverLines().join(' ').contains(QStringLiteral("1000000 baud")));
    dds::board().adoptPort(nullptr);
    ASSERT_EQ(board.latched().size(), 1u);
    EXPECT_EQ(board.latched()[0].ftw, 302365698u);
    EXPECT_EQ(board.latched()[0].phase, 5);
}

// The network analyser's whole path through the bridge: each point a load,
// the device settles, the detector on A0 is read. An LC low-pass at 7 MHz
// behind an AD8307: the -3 dB point comes out at 7 MHz.
TEST_F(Bridge, TheAnalyserSweepsThroughTheBridge) {
    const analyser::Detector ad8307;
    const analyser::SimulatedDevice lowPass{analyser::SimulatedDevice::Kind::LowPass};
    board.setDetector([&](double hz) {
        return std::uint32_t(std::lround(ad8307.millivolts(lowPass.responseDb(hz))));
    });
    dds::board().adoptPort(board.port());
    analyser::SweepRunner runner([](double hz) { dds::board().load(tuningWord(hz, 100e6), 0, 0); },
                                 [](int samples) { return dds::board().readAnalog(0, samples); });
    analyser::SweepRunner::Setup setup;
    setup.frequencies = analyser::sweepFrequencies(5e6, 9e6, 41, false);
    setup.samples = 4;
    const analyser::Trace trace = runner.run(setup);
    dds::board().adoptPort(nullptr);
    ASSERT_EQ(trace.size(), 41u);
    EXPECT_EQ(board.latched().size(), 41u);
    const analyser::Markers m = analyser::findMarkers(trace);
    ASSERT_TRUE(m.highHz);
    EXPECT_NEAR(*m.highHz, 7e6, 0.01 * 7e6);
    EXPECT_NEAR(trace.front().level, 0, 0.5); // the pass band, within two ADC steps (0.2 dB each)
}

// The sweep through the board's timed queue on boards as real ones are: the
// 10 ms ticks are the microcontroller's, so neither USB latency (16 ms, an
// FT232R's default) nor the host's load moves a latch, the resonator's error
// is measured and taken out, and the receiver never overruns at any speed.
// Stop leaves the last tick latched, and the sweep reports that tick.
struct SweepCase {
    const char* name;
    int baud;
    double clockError;
    int replyDelayMs;
    bool nearWrap; // the board's clock passes 2^32 microseconds mid-sweep
};

class BridgeSweep : public ::testing::TestWithParam<SweepCase> {};

TEST_P(BridgeSweep, EveryTickLatchesAtItsTrueTime) {
    const SweepCase& c = GetParam();
    EmulatedBridge emulated(KALIMOR_BRIDGE_ELF);
    emulated.setRealTime(true);
    emulated.setClockError(c.clockError);
    emulated.setReplyDelay(std::chrono::milliseconds(c.replyDelayMs));
    if (c.nearWrap) emulated.setBoardClock(0xFFFFFFFFu - 3'000'000u);
    auto owned = std::make_unique<SerialBridgePort>(QString::fromStdString(emulated.device()));
    SerialBridgePort* port = owned.get();
    port->setTopSpeed(c.baud);
    dds::board().adoptPort(std::move(owned));
    dds::SweepPlan plan;
    plan.low = 1000;
    plan.high = 1100;
    plan.scrollScale = 10;
    plan.refClkHz = 100e6;
    ASSERT_FALSE(dds::board().claim(dds::Controller::Sweep));
    const int opensBefore = port->opens(); // zero: the sweep opens the link
    dds::board().startSweep(plan);
    std::this_thread::sleep_for(std::chrono::seconds(SweepSeconds));
    // The sweep's status line names the error it takes out.
    EXPECT_TRUE(dds::board().scheduling().contains(QStringLiteral(" ppm ")))
        << qPrintable(dds::board().scheduling());
    const SweepTick last = dds::board().stopSweep();
    dds::board().release(dds::Controller::Sweep);
    const int baud = port->baud(), opens = port->opens() - opensBefore;
    const auto ppm = port->clockErrorPpm();
    const auto latched = emulated.latched();
    dds::board().adoptPort(nullptr);
    EXPECT_EQ(baud, c.baud);
    EXPECT_EQ(opens, 1) << "the link was lost and opened again";
    EXPECT_EQ(emulated.overruns(), 0);
    EXPECT_EQ(emulated.crossings(), 0);
    EXPECT_GE(latched.size(), std::size_t(90 * SweepSeconds));
    ASSERT_GE(latched.size(), 10u);
    ASSERT_TRUE(ppm);
    // Bounds many times the targets (0.05 % for the period), which
    // bench_bridge measures: the emulation shares a loaded machine.
    EXPECT_NEAR(*ppm, c.clockError * 1e6, 1500);
    const double mean = emulated.meanLatchPeriodMs();
    std::printf("%s: %zu latches, mean period %.5f ms in true time, clock measured %+.0f ppm\n",
                c.name, latched.size(), mean, *ppm);
    EXPECT_NEAR(mean, 10.0, 0.05);
    EXPECT_EQ(last.missed, 0);
    // Each latch the next tick of the triangle, none lost, none twice: up
    // from 100.0 Hz to 110.0 Hz by 0.1 Hz, each limit sent once, and down;
    // worked out here apart from the sweep's own code, and its corners
    // written out (the nearest words at 100 MHz).
    const struct {
        std::size_t tick;
        std::uint32_t word;
    } corners[] = {{0, 4295}, {1, 4299}, {100, 4724}, {101, 4720}, {199, 4299}, {200, 4295}};
    for (const auto& corner : corners)
        if (corner.tick < latched.size()) {
            EXPECT_EQ(latched[corner.tick].ftw, corner.word) << corner.tick;
        }
    for (size_t i = 0; i < latched.size(); ++i) {
        const int step = int(i % 200), position = step <= 100 ? 1000 + step : 1200 - step;
        ASSERT_EQ(latched[i].ftw, std::uint32_t(std::llround(position / 10.0 * 42.94967296))) << i;
    }
    EXPECT_EQ(std::uint32_t(last.word), latched.back().ftw);
    EXPECT_EQ(last.ticks, std::int64_t(latched.size()));
}

INSTANTIATE_TEST_SUITE_P(Boards, BridgeSweep,
                         ::testing::Values(SweepCase{"link_115200", 115200, 0, 0, false},
                                           SweepCase{"link_500000", 500000, 0, 0, false},
                                           SweepCase{"link_1000000", 1000000, 0, 0, false},
                                           SweepCase{"slow_16ms", 1000000, -0.005, 16, false},
                                           SweepCase{"fast_16ms", 1000000, 0.005, 16, false},
                                           SweepCase{"clock_wrap", 1000000, 0, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The analyser's sweep scanned on the board: 1,001 points of 16 samples,
// each a load, the settle and the readings there, streamed back while the
// next point is read, in about the time the ADC needs (1.7 s).
TEST_F(Bridge, TheAnalyserScansOnTheBoard) {
    EmulatedBridge emulated(KALIMOR_BRIDGE_ELF);
    emulated.setRealTime(true);
    emulated.setReplyDelay(std::chrono::milliseconds(16));
    const analyser::Detector ad8307;
    const analyser::SimulatedDevice lowPass{analyser::SimulatedDevice::Kind::LowPass};
    emulated.setDetector([&](double hz) {
        return std::uint32_t(std::lround(ad8307.millivolts(lowPass.responseDb(hz))));
    });
    dds::board().adoptPort(emulated.port());
    ASSERT_FALSE(dds::board().claim(dds::Controller::Analyser));
    analyser::SweepRunner runner([](double) { FAIL() << "a point loaded by itself"; },
                                 [](int) { return 0.0; });
    runner.setScan(analyser::boardScan(100e6, 0));
    analyser::SweepRunner::Setup setup;
    setup.frequencies = analyser::sweepFrequencies(5e6, 9e6, 1001, false);
    setup.samples = 16;
    const std::uint64_t before = emulated.cycles();
    const analyser::Trace trace = runner.run(setup);
    const double seconds = double(emulated.cycles() - before) / 16e6;
    dds::board().release(dds::Controller::Analyser);
    dds::board().adoptPort(nullptr);
    std::printf("scan on the board: 1001 points x 16 samples in %.2f s of the board's time\n",
                seconds);
    EXPECT_LT(seconds, 2.5);
    ASSERT_EQ(trace.size(), 1001u);
    const auto latched = emulated.latched();
    ASSERT_EQ(latched.size(), 1001u);
    // Each reading is its own point's: the device's response there, within
    // the ADC's steps (0.2 dB), and each latch the word nearest its frequency.
    for (size_t i = 0; i < trace.size(); ++i) {
        EXPECT_NEAR(trace[i].level, lowPass.responseDb(trace[i].hz), 0.25) << i;
        EXPECT_NEAR(double(latched[i].ftw), trace[i].hz * 4294967296.0 / 100e6, 1.0) << i;
    }
}

// A scan with long settle times runs beside the event loop: the points
// come in as each chunk ends, and Stop ends the run at once, keeping them.
TEST_F(Bridge, TheAnalysersScanLeavesTheEventLoopFree) {
    EmulatedBridge emulated(KALIMOR_BRIDGE_ELF);
    emulated.setRealTime(true);
    dds::board().adoptPort(emulated.port());
    ASSERT_FALSE(dds::board().claim(dds::Controller::Analyser));
    analyser::SweepRunner runner([](double) { FAIL() << "a point loaded by itself"; },
                                 [](int) { return 0.0; });
    runner.setScan(analyser::boardScan(100e6, 0));
    std::vector<analyser::Trace> finished;
    QObject::connect(&runner, &analyser::SweepRunner::finished, &runner,
                     [&](const analyser::Trace& t) { finished.push_back(t); });
    analyser::SweepRunner::Setup setup;
    setup.frequencies = analyser::sweepFrequencies(5e6, 9e6, 64, false);
    setup.settleMs = 60; // 16 points a chunk, about a second each
    runner.start(setup);
    EXPECT_TRUE(runner.trace().empty()) << "the first chunk ran before start returned";
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (runner.trace().empty() && std::chrono::steady_clock::now() < until)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_EQ(runner.trace().size(), 16u);
    runner.stop();
    EXPECT_FALSE(runner.running());
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0].size(), 16u);
    // The chunk under way when Stop came adds nothing.
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
         std::chrono::steady_clock::now() < end;)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(runner.trace().size(), 16u);
    EXPECT_EQ(finished.size(), 1u);
    dds::board().release(dds::Controller::Analyser);
    dds::board().adoptPort(nullptr);
}

// A queued load's word is clocked into the chip ahead of its time, so a
// direct load or scan meanwhile would shift its bits over it: refused until
// the queue is empty.
TEST_F(Bridge, DirectLoadsWaitForTheQueue) {
    RawLine line(board.device());
    EXPECT_EQ(line.next()[0], 'B');
    const QByteArray far("\x00\xCA\x9A\x3B", 4); // 1000 s on the board's clock
    line.send(bridge::frame(QByteArray("Q\x01", 2) + far + QByteArray("\x11\x22\x33\x44\x00", 5)));
    EXPECT_EQ(line.next().left(3), QByteArray("q\x01\x1F", 3));
    const QByteArray load = QByteArray("\x55\x66\x77\x08\x00", 5);
    line.send(bridge::frame(QByteArray("L\x02", 2) + load));
    EXPECT_EQ(line.next(), QByteArray("E\x02\x06", 3));
    line.send(bridge::frame(QByteArray("X\x03\x00\x00\x00\x00", 6)));
    EXPECT_EQ(line.next(), QByteArray("x\x03\x01", 3));
    line.send(bridge::frame(QByteArray("L\x04", 2) + load));
    EXPECT_EQ(line.next(), QByteArray("A\x04L", 3));
    ASSERT_EQ(board.latched().size(), 1u);
    EXPECT_EQ(board.latched()[0].ftw, 0x08776655u);
}

// Each point's settle is waited in full on the board, however long.
TEST_F(Bridge, ScanSettlesInFull) {
    SerialBridgePort port(QString::fromStdString(board.device()));
    for (std::uint32_t settleMs : {66u, 1000u}) {
        SCOPED_TRACE(settleMs);
        const std::size_t before = board.latched().size();
        port.scan(0, 1, std::uint64_t(1000) << 16, std::uint64_t(10) << 16, 3, settleMs * 1000, 0);
        const auto cycles = board.latchCycles();
        ASSERT_EQ(cycles.size(), before + 3);
        for (std::size_t i = before + 1; i < cycles.size(); ++i) {
            const double ms = double(cycles[i] - cycles[i - 1]) / 16000.0;
            EXPECT_GE(ms, settleMs);
            EXPECT_LT(ms, settleMs + 2.0); // and the reading, 0.1 ms
        }
    }
}

// The dead-man guard: a host that falls silent for 2 s while keyed leaves
// the chip powered down by the board itself, and hears of it when it comes
// back; an unkeyed one is never touched.
TEST_F(Bridge, TheGuardPowersDownOnlyAKeyedSilentHost) {
    for (bool keyed : {true, false}) {
        SCOPED_TRACE(keyed);
        EmulatedBridge emulated(KALIMOR_BRIDGE_ELF);
        SerialBridgePort port(QString::fromStdString(emulated.device()));
        const auto bytes = loadStream(302365698, 0);
        port.write(0, bytes.data(), bytes.size());
        port.setKeyed(keyed);
        const std::uint64_t from = emulated.cycles();
        while (emulated.cycles() - from < std::uint64_t(2.5 * 16e6))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const auto latched = emulated.latched();
        ASSERT_EQ(latched.size(), keyed ? 2u : 1u);
        EXPECT_EQ(latched.back().ftw, 302365698u);
        EXPECT_EQ(latched.back().powerDown, keyed);
        const Raised back = raised([&] { port.keepAlive(); });
        EXPECT_EQ(back.description.contains(QStringLiteral("fell silent")), keyed)
            << qPrintable(back.description);
    }
}

// A board whose port's open does not reset it is left at the fast speed by
// the first run; the second finds it there.
TEST_F(Bridge, ABoardThatDoesNotResetIsFoundAgain) {
    EmulatedBridge emulated(KALIMOR_BRIDGE_ELF);
    emulated.setResetOnOpen(false);
    for (std::uint32_t word : {1111u, 2222u}) {
        SerialBridgePort port(QString::fromStdString(emulated.device()));
        const auto bytes = loadStream(word, 0);
        const Raised r = raised([&] { port.write(0, bytes.data(), bytes.size()); });
        EXPECT_EQ(r.number, 0) << qPrintable(r.description);
        EXPECT_EQ(port.baud(), 1000000);
    }
    const auto latched = emulated.latched();
    ASSERT_EQ(latched.size(), 2u);
    EXPECT_EQ(latched[1].ftw, 2222u);
}

// --trace is the record of what the board received, the points it scanned
// by itself too.
TEST_F(Bridge, TheTraceRecordsAScan) {
    const QString path = QDir::temp().filePath(
        QStringLiteral("kalimor-scan-trace-%1.jsonl").arg(QCoreApplication::applicationPid()));
    QFile::remove(path);
    dds::board().adoptPort(std::make_unique<TracingPort>(
        std::make_unique<SerialBridgePort>(QString::fromStdString(board.device())), path));
    ASSERT_FALSE(dds::board().claim(dds::Controller::Analyser));
    const auto readings =
        dds::board().scanAnalog(0, 1, 5e6, 1e5, 100e6, 11, 0, 0, dds::Controller::Analyser);
    dds::board().release(dds::Controller::Analyser);
    dds::board().adoptPort(nullptr);
    ASSERT_TRUE(readings);
    QFile trace(path);
    ASSERT_TRUE(trace.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = trace.readAll().trimmed().split('\n');
    const auto latched = board.latched();
    ASSERT_EQ(lines.size(), 11);
    ASSERT_EQ(latched.size(), 11u);
    for (int i = 0; i < 11; ++i) {
        const QJsonObject o = QJsonDocument::fromJson(lines[i]).object();
        EXPECT_TRUE(o.value(QStringLiteral("scanned")).toBool()) << i;
        EXPECT_EQ(std::uint32_t(o.value(QStringLiteral("ftw")).toDouble()), latched[i].ftw) << i;
    }
    QFile::remove(path);
}

TEST(BridgeMissing, SaysToFlashTheFirmware) {
    // A terminal with nothing behind it answers nothing, as a board without
    // the firmware does.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    SerialBridgePort port(QString::fromLocal8Bit(ptsname(master)));
    const auto bytes = loadStream(1, 0);
    const Raised r = raised([&] { port.write(0, bytes.data(), bytes.size()); });
    EXPECT_EQ(r.number, err::PortAccess);
    EXPECT_TRUE(r.description.contains(QStringLiteral("flash firmware/ first")))
        << qPrintable(r.description);
    ::close(master);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
