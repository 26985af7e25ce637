#include "core/Error.h"
#include "dds/Board.h"
#include "dds/ClockFit.h"
#include "dds/Port.h"
#include "dds/mdlSetKalimor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include <string>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

using namespace kalimor;

namespace {

// Keeps every byte it is handed, with the address, so the stream can be
// checked byte for byte.
class RecordingPort : public dds::PortBackend {
public:
    void write(int address, const std::uint8_t* bytes, std::size_t count) override {
        calls.push_back({address, std::vector<std::uint8_t>(bytes, bytes + count)});
    }
    QString describe() const override { return QStringLiteral("recording"); }
    struct Call {
        int address;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Call> calls;
};

std::vector<std::uint8_t> hexBytes(const std::string& text) {
    std::vector<std::uint8_t> out;
    for (size_t i = 0; i < text.size();) {
        while (i < text.size() && text[i] == ' ') ++i;
        if (i >= text.size()) break;
        out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

std::vector<std::uint8_t> repeat(const std::string& pair, int times) {
    std::string s;
    for (int i = 0; i < times; ++i) s += pair + " ";
    return hexBytes(s);
}

std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

class LoadWord : public ::testing::Test {
protected:
    void SetUp() override {
        dds::board().setAddress(0x378);
        setPortBackend(&port);
    }
    void TearDown() override { setPortBackend(nullptr); }
    RecordingPort port;
};

} // namespace

TEST_F(LoadWord, WorkedExampleThousandHertz) {
    WriteDDSWord(0xA7C6, 0, 0);
    ASSERT_EQ(port.calls.size(), 1u);
    EXPECT_EQ(port.calls[0].address, 0x378);
    const auto expected =
        concat({hexBytes("00 02 01 03 01 03 00 02 00 02 00 02 01 03 01 03 01 03 01 03 01 03 "
                         "00 02 00 02 01 03 00 02 01 03"),
                repeat("00 02", 24), hexBytes("04 00")});
    EXPECT_EQ(port.calls[0].bytes, expected);
}

TEST_F(LoadWord, WorkedExamplePhaseAndPowerDown) {
    WriteDDSWord(0xA7C6, 1, 1);
    const auto& b = port.calls.at(0).bytes;
    EXPECT_EQ(std::vector<std::uint8_t>(b.begin() + 64, b.end()),
              hexBytes("00 02 00 02 01 03 01 03 00 02 00 02 00 02 00 02 04 00"));
}

TEST_F(LoadWord, EdgeWords) {
    struct Case {
        std::int32_t word;
        std::int16_t phase, pd;
        std::vector<std::uint8_t> expected;
    } cases[] = {
        {0, 0, 0, concat({repeat("00 02", 40), hexBytes("04 00")})},
        {-1, 0, 0, concat({repeat("01 03", 32), repeat("00 02", 8), hexBytes("04 00")})},
        {0, 31, 0, concat({repeat("00 02", 35), repeat("01 03", 5), hexBytes("04 00")})},
        {0, 0, 1,
         concat({repeat("00 02", 34), hexBytes("01 03"), repeat("00 02", 5), hexBytes("04 00")})},
        // PowerDown values above 1 land in the phase bits, as the hardware would see them.
        {0, 0, 2,
         concat({repeat("00 02", 35), hexBytes("01 03"), repeat("00 02", 4), hexBytes("04 00")})},
    };
    for (const auto& c : cases) {
        port.calls.clear();
        WriteDDSWord(c.word, c.phase, c.pd);
        ASSERT_EQ(port.calls.size(), 1u);
        EXPECT_EQ(port.calls[0].bytes, c.expected) << c.word << " " << c.phase << " " << c.pd;
    }
}

TEST_F(LoadWord, BadControlValuesFailBeforeThePort) {
    const std::pair<std::int16_t, std::int16_t> bad[] = {{32, 0}, {-1, 0},   {0, -1},
                                                         {0, 64}, {4096, 0}, {0, 8192}};
    for (auto [phase, pd] : bad) {
        try {
            WriteDDSWord(42950, phase, pd);
            ADD_FAILURE() << "no error for " << phase << "/" << pd;
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), err::Overflow);
        }
    }
    EXPECT_TRUE(port.calls.empty());
}

TEST_F(LoadWord, RepeatedCallsSendIdenticalStreams) {
    WriteDDSWord(123456789, 7, 0);
    WriteDDSWord(123456789, 7, 0);
    ASSERT_EQ(port.calls.size(), 2u);
    EXPECT_EQ(port.calls[0].bytes, port.calls[1].bytes);
}

TEST_F(LoadWord, NoPortIsAFailure) {
    setPortBackend(nullptr);
    EXPECT_THROW(WriteDDSWord(1, 0, 0), Error);
}

TEST(SimulatedBoard, DecodesWhatTheChipWouldLatch) {
    dds::board().setAddress(0x3FE);
    dds::SimulatedBoard board;
    setPortBackend(&board);
    struct Case {
        std::int32_t word;
        std::int16_t phase, pd;
    } cases[] = {
        {42950, 0, 0}, {-1, 31, 0}, {0, 0, 1}, {1288490189, 16, 0}, {INT32_MIN, 1, 1},
    };
    for (const auto& c : cases) {
        WriteDDSWord(c.word, c.phase, c.pd);
        const dds::DdsState s = board.loads().back();
        EXPECT_EQ(s.ftw, static_cast<std::uint32_t>(c.word));
        EXPECT_EQ(s.phase, c.phase);
        EXPECT_EQ(s.powerDown, c.pd == 1);
        EXPECT_EQ(s.clocks, 40);
        EXPECT_EQ(s.control, (c.phase << 3) | (c.pd << 2));
    }
    EXPECT_EQ(board.loads().size(), std::size(cases));
    EXPECT_EQ(board.lastAddress(), 0x3FE);
    EXPECT_NEAR(board.chip().outputHz(100e6), 0, 1e-9); // last load powered down
    setPortBackend(nullptr);
}

TEST(SimulatedBoard, OnlyEdgesCount) {
    dds::Ad9850 chip;
    // Data changing while the clock stays high must not shift a bit in, and a
    // held strobe must latch only once.
    const std::uint8_t stream[] = {0x00, 0x03, 0x02, 0x03, 0x01, 0x04, 0x04, 0x00};
    chip.feed(stream, sizeof stream);
    EXPECT_EQ(chip.updates(), 1u);
    EXPECT_EQ(chip.state().clocks, 1);
    EXPECT_EQ(chip.state().ftw, 1u);
}

TEST(SimulatedBoard, OutputFrequency) {
    dds::Ad9850 chip;
    dds::SimulatedBoard board;
    setPortBackend(&board);
    WriteDDSWord(42950, 0, 0);
    EXPECT_NEAR(board.chip().outputHz(100e6), 1000.0, 0.02);
    setPortBackend(nullptr);
}

// A sequence goes out word by word at its times, in order, from the board's
// clock, while the beacon holds the board; nothing else loads meanwhile, and
// letting the board go stops it.
TEST(BoardSequence, SendsInOrderAndOnlyForItsHolder) {
    dds::SimulatedBoard sim;
    setPortBackend(&sim);
    dds::Board& board = dds::board();
    ASSERT_FALSE(board.claim(dds::Controller::Beacon));
    EXPECT_THROW(board.load(1, 0, 0), Error); // the VFO does not hold it
    std::mutex m;
    std::condition_variable cv;
    std::optional<dds::SequenceReport> report;
    const auto c = QObject::connect(
        &board, &dds::Board::sequenceDone, &board,
        [&](const dds::SequenceReport& r) {
            std::lock_guard lock(m);
            report = r;
            cv.notify_all();
        },
        Qt::DirectConnection);
    auto waitForReport = [&] {
        std::unique_lock lock(m);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return report.has_value(); });
    };
    std::vector<dds::TimedWord> words;
    for (int i = 0; i < 20; ++i)
        words.push_back({std::chrono::milliseconds(2 * i), 1000 + i, 0, 0});
    board.startSequence(words, dds::Board::Clock::now(), dds::Controller::Beacon);
    ASSERT_TRUE(waitForReport());
    EXPECT_EQ(report->sent, 20);
    ASSERT_EQ(sim.loads().size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(sim.loads()[size_t(i)].ftw, std::uint32_t(1000 + i));

    report.reset();
    board.startSequence({{std::chrono::hours(1), 5, 0, 0}}, dds::Board::Clock::now(),
                        dds::Controller::Beacon);
    board.release(dds::Controller::Beacon);
    ASSERT_TRUE(waitForReport());
    EXPECT_TRUE(report->stopped);
    EXPECT_EQ(report->sent, 0);
    EXPECT_NO_THROW(board.load(1, 0, 0)); // the VFO's again
    QObject::disconnect(c);
    setPortBackend(nullptr);
}

// A whole WSPR frame on a clock the test drives: the board's thread sends
// each of its 163 words to the simulated board at exactly its time as the
// board sees it, 110.592 s of schedule in a moment of real time.
TEST(BoardSequence, AWholeFrameOnADrivenClock) {
    auto owned = std::make_unique<dds::VirtualBoardClock>();
    dds::VirtualBoardClock* clock = owned.get();
    dds::Board board(std::move(owned));
    dds::SimulatedBoard sim;
    board.setPort(&sim);
    ASSERT_FALSE(board.claim(dds::Controller::Beacon));
    std::vector<dds::TimedWord> words;
    for (std::int64_t k = 0; k < 162; ++k)
        words.push_back({std::chrono::nanoseconds(k * 8192 * 1'000'000'000 / 12000),
                         std::int32_t(1000 + k % 4), 0, 0});
    words.push_back({std::chrono::microseconds(110'592'000), 1000, 0, 1});
    std::vector<std::pair<dds::Board::Clock::time_point, dds::Board::Clock::time_point>> edges;
    board.setTickObserver([&](auto due, auto sent) { edges.emplace_back(due, sent); });
    std::promise<dds::SequenceReport> done;
    const auto c = QObject::connect(
        &board, &dds::Board::sequenceDone, &board,
        [&](const dds::SequenceReport& r) { done.set_value(r); }, Qt::DirectConnection);
    const auto start = clock->now() + std::chrono::seconds(1);
    const auto real = std::chrono::steady_clock::now();
    board.startSequence(words, start, dds::Controller::Beacon);
    auto finished = done.get_future();
    ASSERT_EQ(finished.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    const dds::SequenceReport report = finished.get();
    EXPECT_LT(std::chrono::steady_clock::now() - real, std::chrono::seconds(10));
    QObject::disconnect(c);
    board.release(dds::Controller::Beacon);
    board.setPort(nullptr);
    EXPECT_EQ(report.sent, 163);
    EXPECT_EQ(report.worstLate.count(), 0);
    ASSERT_EQ(edges.size(), words.size());
    ASSERT_EQ(sim.loads().size(), words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        EXPECT_EQ(edges[i].first, start + words[i].at) << i;
        EXPECT_EQ(edges[i].second, edges[i].first) << i;
        EXPECT_EQ(sim.loads()[i].ftw, std::uint32_t(words[i].word)) << i;
        EXPECT_EQ(sim.loads()[i].powerDown, words[i].powerDown != 0) << i;
    }
    EXPECT_EQ(clock->now() - start, std::chrono::microseconds(110'592'000));
}

namespace {

// The simulated board, telling what the board asks of a port that guards a
// keyed carrier by itself.
class GuardedPort : public dds::SimulatedBoard {
public:
    void setKeyed(bool keyed) override { keyedCalls.push_back(keyed); }
    void keepAlive() override { ++keepAlives; }
    std::vector<bool> keyedCalls; // the board's thread only, read once it is idle
    std::atomic<int> keepAlives{0};
};

} // namespace

// Each keyed holder arms the port's guard while it holds the board and hears
// from it meanwhile; the others never arm it.
TEST(BoardKeyedGuard, ArmedOnlyWhileAKeyedControllerHolds) {
    using Kind = dds::Controller::Kind;
    const struct {
        Kind kind;
        bool keyed;
    } rows[] = {{Kind::Sweep, false},    {Kind::Analyser, false}, {Kind::Beacon, true},
                {Kind::BeaconCli, true}, {Kind::Keyer, true},     {Kind::Ptt, true},
                {Kind::Follower, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(int(row.kind));
        GuardedPort port;
        setPortBackend(&port);
        dds::Board& board = dds::board();
        const dds::Controller who = row.kind == Kind::Sweep      ? dds::Controller::Sweep
                                    : row.kind == Kind::Analyser ? dds::Controller::Analyser
                                                                 : dds::Controller::make(row.kind);
        ASSERT_FALSE(board.claim(who));
        if (row.keyed) {
            // Bounded far beyond the 250 ms between keep-alives.
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (port.keepAlives < 2 && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_GE(port.keepAlives, 2);
            // The last resort powers the held word down, whoever holds it.
            board.load(4242, 0, 0, who);
            EXPECT_TRUE(board.powerDownIfKeyed());
            EXPECT_EQ(port.loads().back().ftw, 4242u);
            EXPECT_TRUE(port.loads().back().powerDown);
        } else {
            EXPECT_FALSE(board.powerDownIfKeyed());
        }
        board.release(who);
        (void)board.port(); // a trip to the board thread: it is done with the port
        const std::vector<bool> armed =
            row.keyed ? std::vector<bool>{true, false} : std::vector<bool>();
        EXPECT_EQ(port.keyedCalls, armed);
        EXPECT_EQ(board.controller(), dds::Controller::Vfo);
        setPortBackend(nullptr);
    }
}

namespace {

// A clock that cannot be made (`problem`) or cannot be armed: the board must
// say so to its callers rather than leave them waiting for ticks that never come.
class BrokenClock : public dds::BoardClock {
public:
    explicit BrokenClock(QString problem) : m_problem(std::move(problem)) {}
    ~BrokenClock() override {
        if (m_fd >= 0) ::close(m_fd);
    }
    Clock::time_point now() const override { return Clock::now(); }
    void arm(Clock::time_point, Clock::duration) override {
        throw Error(err::PortAccess, QStringLiteral("Board"), QStringLiteral("cannot arm"));
    }
    void disarm() override {}
    int fd() const override { return m_fd; }
    std::uint64_t take() override { return 0; }
    QString problem() const override { return m_problem; }

private:
    int m_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); // never readable
    QString m_problem;
};

} // namespace

TEST(BoardClockFailure, CallersAreToldNeverLeftWaiting) {
    dds::SimulatedBoard sim;
    {
        dds::Board unmade(std::make_unique<BrokenClock>(QStringLiteral("no timerfd here")));
        try {
            unmade.setPort(&sim);
            FAIL() << "a board without its clock took a port";
        } catch (const Error& e) {
            EXPECT_EQ(e.description(), QStringLiteral("no timerfd here"));
        }
        EXPECT_THROW(unmade.load(1, 0, 0), Error);
    }
    dds::Board unarmed(std::make_unique<BrokenClock>(QString()));
    unarmed.setPort(&sim);
    ASSERT_FALSE(unarmed.claim(dds::Controller::Sweep));
    EXPECT_THROW(unarmed.startSweep({}, true), Error);
    EXPECT_FALSE(unarmed.sweeping());
    unarmed.release(dds::Controller::Sweep);
    ASSERT_FALSE(unarmed.claim(dds::Controller::Beacon));
    std::optional<dds::SequenceReport> report;
    const auto c = QObject::connect(
        &unarmed, &dds::Board::sequenceDone, &unarmed,
        [&](const dds::SequenceReport& r) { report = r; }, Qt::DirectConnection);
    unarmed.startSequence({{std::chrono::hours(1), 5, 0, 0}}, dds::Board::Clock::now(),
                          dds::Controller::Beacon);
    ASSERT_TRUE(report.has_value()); // ended at once, on the caller's trip
    EXPECT_EQ(report->sent, 0);
    ASSERT_TRUE(report->failure);
    EXPECT_EQ(report->failure->description(), QStringLiteral("cannot arm"));
    EXPECT_FALSE(unarmed.sequencing());
    QObject::disconnect(c);
}

// A stall of the host or the link reads the board's clock late, never early;
// the rate taken out of the board's due times must not tip with it. Boards
// exact and 0.5 % off, read every 5 ms across the wrap of their 32-bit
// clock, a third of the first half second's readings 40 ms late: least
// squares over every sample put the exact one 15,000 ppm off.
TEST(ClockFit, StallsDoNotTipTheBoardsClock) {
    for (const double error : {-0.005, 0.0, 0.005}) {
        dds::ClockFit fit;
        const auto start = dds::ClockFit::Clock::now();
        const double firstUs = 0xFFFFFFFFu - 500'000.0, linkUs = 300;
        auto boardUs = [&](double hostUs) { return firstUs + hostUs * (1 + error) + linkUs; };
        for (int i = 0; i <= 300; ++i) {
            const double hostUs = i * 5000.0, late = (i < 100 && i % 3 == 0) ? 40'000 : 0;
            fit.add(start + std::chrono::microseconds(std::int64_t(hostUs)),
                    std::uint32_t(std::uint64_t(std::llround(boardUs(hostUs) + late))));
        }
        ASSERT_TRUE(fit.errorPpm()) << error;
        EXPECT_NEAR(*fit.errorPpm(), error * 1e6, 5) << error;
        // Unwrapped: past 2^32.
        EXPECT_NEAR(*fit.boardAt(start + std::chrono::seconds(2)), boardUs(2e6), 10) << error;
    }
}
