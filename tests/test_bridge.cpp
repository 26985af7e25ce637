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
#include "dds/PortSpec.h"
#include "dds/SerialBridge.h"
#include "dds/mdlSetKalimor.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <thread>
#include <unistd.h>

using namespace kalimor;
using namespace kalimor::dds;

namespace {

// A raw line to the board, for what the back-end would never send.
class RawLine {
public:
    explicit RawLine(const std::string& device) : m_fd(::open(device.c_str(), O_RDWR | O_NOCTTY)) {}
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
    EXPECT_TRUE(line.next().startsWith(QByteArray("i\x02", 2)));
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
    QString why;
    dds::board().adoptPort(makeBackend(
        *parsePortSpec(QStringLiteral("serial:") + QString::fromStdString(board.device()), &why)));
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

// The sweep through the board's timed queue: the 10 ms ticks are the
// microcontroller's, so neither USB latency (16 ms, an FT232R's default) nor
// the host's load moves a latch. Stop leaves the last tick latched, and the
// sweep reports that tick.
TEST_F(Bridge, TheSweepKeepsTheBoardsOwnTime) {
    for (auto delay : {std::chrono::milliseconds(0), std::chrono::milliseconds(16)}) {
        SCOPED_TRACE(delay.count());
        EmulatedBridge emulated(KALIMOR_BRIDGE_ELF);
        emulated.setRealTime(true);
        emulated.setReplyDelay(delay);
        QString why;
        dds::board().adoptPort(makeBackend(*parsePortSpec(
            QStringLiteral("serial:") + QString::fromStdString(emulated.device()), &why)));
        dds::SweepPlan plan;
        plan.low = 1000;
        plan.high = 1100;
        plan.scrollScale = 10;
        plan.refClkHz = 100e6;
        ASSERT_FALSE(dds::board().claim(dds::Controller::Sweep));
        dds::board().startSweep(plan);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const SweepTick last = dds::board().stopSweep();
        dds::board().release(dds::Controller::Sweep);
        const auto latched = emulated.latched();
        const auto cycles = emulated.latchCycles();
        dds::board().adoptPort(nullptr);
        ASSERT_GE(latched.size(), 100u);
        double worst = 0;
        for (size_t i = 1; i < cycles.size(); ++i) {
            const double off = std::fabs(double(cycles[i] - cycles[i - 1]) / 16000.0 - 10.0);
            worst = std::max(worst, off);
        }
        std::printf("queued sweep, replies %lld ms late: %zu latches, every period within %.4f ms "
                    "of 10 ms\n",
                    static_cast<long long>(delay.count()), latched.size(), worst);
        EXPECT_LT(worst, 0.05);
        // Each latch the next tick of the triangle, none lost, none twice.
        SweepState expected;
        expected.start(plan.low);
        for (size_t i = 0; i < latched.size(); ++i) {
            expected.turn(plan.high, plan.low);
            EXPECT_EQ(latched[i].ftw, std::uint32_t(tuningWord(expected.SwpPos / 10.0, 100e6)))
                << i;
            expected.advance();
        }
        EXPECT_EQ(std::uint32_t(last.word), latched.back().ftw);
        EXPECT_EQ(std::uint32_t(dds::board().held().word), latched.back().ftw);
    }
}

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
    QString why;
    dds::board().adoptPort(makeBackend(*parsePortSpec(
        QStringLiteral("serial:") + QString::fromStdString(emulated.device()), &why)));
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
    QString why;
    dds::board().adoptPort(makeBackend(*parsePortSpec(
        QStringLiteral("serial:") + QString::fromStdString(emulated.device()), &why)));
    ASSERT_FALSE(dds::board().claim(dds::Controller::Analyser));
    analyser::SweepRunner runner([](double) { FAIL() << "a point loaded by itself"; },
                                 [](int) { return 0.0; });
    runner.setScan(analyser::boardScan(100e6, 0));
    std::vector<analyser::Trace> finished;
    QObject::connect(&runner, &analyser::SweepRunner::finished,
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
