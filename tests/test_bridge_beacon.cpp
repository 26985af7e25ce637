// A beacon's words on the bridge end to end without hardware: the real
// firmware on an emulated ATmega328P in real time, Kalimor's board and timed
// queue on the other end of its serial line, every latched word and its time
// read from the emulated AD9850's pins.
#include "EmulatedBridge.h"
#include "LoadStream.h"
#include "beacon/Schedule.h"
#include "core/Numbers.h"
#include "dds/Board.h"
#include "dds/QueuedSequence.h"
#include "dds/SerialBridge.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <future>
#include <thread>

using namespace kalimor;
using namespace kalimor::dds;

namespace {

class Bridge : public ::testing::Test {
protected:
    EmulatedBridge board{KALIMOR_BRIDGE_ELF};
};

} // namespace
// A beacon's frame on a bridge not yet open: its clock starts once the board
// is ready, so the first symbol lasts as long as the others.
TEST_F(Bridge, ASequenceStartsWhenTheBoardIsReady) {
    board.setRealTime(true);
    dds::board().adoptPort(
        std::make_unique<SerialBridgePort>(QString::fromStdString(board.device())));
    ASSERT_FALSE(dds::board().claim(dds::Controller::Beacon));
    std::vector<TimedWord> words;
    for (int i = 0; i < 3; ++i)
        words.push_back({std::chrono::milliseconds(300 * i), 1000 + i, 0, 0});
    std::promise<SequenceReport> done;
    const auto connection = QObject::connect(
        &dds::board(), &dds::Board::sequenceDone, &dds::board(),
        [&](const SequenceReport& r) { done.set_value(r); }, Qt::DirectConnection);
    dds::board().startSequence(words, std::chrono::steady_clock::now(), dds::Controller::Beacon);
    auto finished = done.get_future();
    ASSERT_EQ(finished.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    QObject::disconnect(connection);
    EXPECT_EQ(finished.get().sent, 3);
    dds::board().release(dds::Controller::Beacon);
    dds::board().adoptPort(nullptr);
    const auto cycles = board.latchCycles();
    ASSERT_EQ(cycles.size(), 3u);
    for (std::size_t i = 1; i < cycles.size(); ++i)
        EXPECT_NEAR(board.trueSeconds(cycles[i] - cycles[i - 1]), 0.3, 0.03) << i;
}

// A beacon's words through the board's timed queue, on boards as real ones
// are (a resonator 0.5 % off, replies 16 ms late): a shortened WSPR frame
// and a CW call at 20 wpm, every edge latched within 1 ms of its time in
// true time, whatever the link's latency and the board's clock.
struct SequenceCase {
    const char* name;
    double clockError;
    bool cw;
};

class BridgeSequence : public ::testing::TestWithParam<SequenceCase> {};

static std::vector<QueuedSequence::Word> wordsOf(const std::vector<beacon::Tone>& tones) {
    std::vector<QueuedSequence::Word> words;
    for (const beacon::Tone& t : tones)
        words.push_back(
            {t.at, std::uint32_t(tuningWord(t.hz, 100e6)), std::uint8_t(t.off ? 0x04 : 0)});
    return words;
}

TEST_P(BridgeSequence, EveryEdgeLatchesAtItsTrueTime) {
    const SequenceCase& c = GetParam();
    const auto born = std::chrono::steady_clock::now();
    EmulatedBridge emulated(KALIMOR_BRIDGE_ELF);
    emulated.setRealTime(true);
    emulated.setClockError(c.clockError);
    emulated.setReplyDelay(std::chrono::milliseconds(16));
    SerialBridgePort port(QString::fromStdString(emulated.device()));
    ASSERT_TRUE(port.hasQueue()); // the board resets and greets
    QString why;
    std::vector<beacon::Tone> tones;
    if (c.cw) {
        tones = beacon::morseTones(*beacon::morse(QStringLiteral("K1ABC"), &why), 7'030'000,
                                   beacon::ditSecondsForWpm(20), beacon::Keying::OnOff, 0);
    } else {
        // The first 24 symbols of a frame, then off: 16 s.
        const auto m =
            beacon::encodeType1(QStringLiteral("K1ABC"), QStringLiteral("FN42"), 37, &why);
        tones = beacon::wsprTones(m->symbols, 14'095'600, 1500);
        tones.resize(25);
        tones.back().off = true;
    }
    const auto words = wordsOf(tones);
    const auto start = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    QueuedSequence sequence(port, words, start);
    while (const auto next = sequence.step()) std::this_thread::sleep_until(*next);
    EXPECT_EQ(sequence.latched(), int(words.size()));
    EXPECT_EQ(sequence.queuedLate(), 0);
    const auto latched = emulated.latched();
    const auto times = emulated.latchTimes();
    ASSERT_EQ(latched.size(), words.size());
    ASSERT_EQ(times.size(), words.size());
    const double origin = std::chrono::duration<double>(start - born).count();
    // The 1 ms target is bench_beacon's, on a quiet machine. Here the bound
    // only has to catch what it guards against, loads timed by the host (an
    // adapter's 16 ms) and a clock left unscaled (80 ms over the span), and
    // survive an emulator that a loaded machine holds back a few ms.
    constexpr double Bound = 8e-3;
    double worst = 0;
    for (std::size_t i = 0; i < words.size(); ++i) {
        EXPECT_EQ(latched[i].ftw, words[i].word) << i;
        EXPECT_EQ(latched[i].powerDown, (words[i].control & 0x04) != 0) << i;
        const double error = times[i] - origin - std::chrono::duration<double>(words[i].at).count();
        worst = std::max(worst, std::fabs(error));
        EXPECT_LT(std::fabs(error), Bound) << "edge " << i << " off by " << error * 1e3 << " ms";
    }
    const double span = times.back() - times.front();
    const double due = std::chrono::duration<double>(words.back().at - words.front().at).count();
    std::printf("%s: %zu edges, worst %.3f ms from its time, span %.4f s (%.4f due), %d late\n",
                c.name, words.size(), worst * 1e3, span, due, sequence.late());
    EXPECT_NEAR(span, due, Bound);
    EXPECT_EQ(sequence.late(), 0);
}

INSTANTIATE_TEST_SUITE_P(Beacons, BridgeSequence,
                         ::testing::Values(SequenceCase{"wspr_slow", -0.005, false},
                                           SequenceCase{"wspr_fast", 0.005, false},
                                           SequenceCase{"cw_slow", -0.005, true},
                                           SequenceCase{"cw_fast", 0.005, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Stop mid-sequence: what the board had queued is dropped, so nothing
// latches a carrier after the power-down that follows.
TEST_F(Bridge, AFlushedSequenceLatchesNothingMore) {
    board.setRealTime(true);
    board.setReplyDelay(std::chrono::milliseconds(16));
    SerialBridgePort port(QString::fromStdString(board.device()));
    ASSERT_TRUE(port.hasQueue());
    std::vector<QueuedSequence::Word> words;
    for (int i = 0; i < 60; ++i) words.push_back({std::chrono::milliseconds(40 * i), 1000u + i, 0});
    QueuedSequence sequence(port, words, std::chrono::steady_clock::now());
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_until(std::min(until, *sequence.step()));
    const SerialBridgePort::Latched last = sequence.flush();
    const auto off = loadStream(last.word, 0x04);
    port.write(0, off.data(), off.size());
    const auto latched = board.latched();
    ASSERT_GE(latched.size(), 20u);
    EXPECT_TRUE(latched.back().powerDown);
    EXPECT_EQ(latched[latched.size() - 2].ftw, last.word);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(board.latched().size(), latched.size()) << "a queued word latched after the stop";
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
