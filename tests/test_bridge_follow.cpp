// The audio follower on the bridge: the real firmware on an emulated
// ATmega328P in real time, its answers held 16 ms as an FT232R's default
// latency timer holds them, the words read from the emulated AD9850's pins.
#include "EmulatedBridge.h"
#include "core/Numbers.h"
#include "dds/Board.h"
#include "dds/SerialBridge.h"
#include "follow/Follower.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace kalimor;
using namespace kalimor::follow;

// A tone stepping at every reading, 30 readings as fast as they come (a
// feed catching up after a stall), then 30 at their pace, 5 ms apart: every
// word latched once, in order, none lost to the receiver, the output off
// last; and the words do not wait out the adapter's latency one by one,
// which would leave the last latched most of a second after its reading.
TEST(BridgeFollow, EveryWordLatchesInOrderAndOffComesLast) {
    constexpr double Dial = 14'074'000, RefClk = 100e6;
    EmulatedBridge emulated(KALIMOR_BRIDGE_ELF);
    emulated.setRealTime(true);
    emulated.setReplyDelay(std::chrono::milliseconds(16));
    dds::board().adoptPort(
        std::make_unique<dds::SerialBridgePort>(QString::fromStdString(emulated.device())));
    std::vector<std::uint32_t> words;
    std::chrono::steady_clock::time_point lastReading; // when it was due
    {
        FollowSetup setup;
        setup.keying = Keying::Vox;
        setup.dialHz = Dial;
        Follower follower(setup, RefClk);
        ASSERT_TRUE(follower.start()); // the board resets and greets
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 60; ++i) {
            // When the reading is due: a feed that is held up is late by then.
            lastReading = start + std::chrono::milliseconds(5 * i);
            if (i >= 30) std::this_thread::sleep_until(lastReading);
            Reading r;
            r.seconds = 0.005 * i;
            r.levelDb = -6;
            r.hz = 1500.0 + 3 * i;
            follower.reading(r);
            words.push_back(std::uint32_t(tuningWord(Dial + *r.hz, RefClk)));
        }
        Reading quiet;
        quiet.seconds = 0.3;
        follower.reading(quiet); // the tone is gone: off at once, the key held for the hang
        EXPECT_TRUE(follower.status().problem.isEmpty()) << qPrintable(follower.status().problem);
        EXPECT_EQ(follower.status().loads, 62); // the dial, 60 words, off
        EXPECT_TRUE(dds::board().held().powerDown);
        // Off was waited for: the board has latched it by now.
        ASSERT_GE(emulated.latched().size(), 62u);
        EXPECT_TRUE(emulated.latched()[61].powerDown);
    }
    dds::board().adoptPort(nullptr);
    const auto latched = emulated.latched();
    ASSERT_GE(latched.size(), 62u);
    EXPECT_TRUE(latched[0].powerDown); // the dial, off, before the key
    for (std::size_t i = 0; i < words.size(); ++i) {
        EXPECT_EQ(latched[i + 1].ftw, words[i]) << i;
        EXPECT_FALSE(latched[i + 1].powerDown) << i;
    }
    EXPECT_EQ(latched[61].ftw, words.back());
    for (std::size_t i = 61; i < latched.size(); ++i) EXPECT_TRUE(latched[i].powerDown) << i;
    EXPECT_EQ(emulated.overruns(), 0);
    const double late = emulated.latchTimes()[60] -
                        std::chrono::duration<double>(lastReading - emulated.born()).count();
    EXPECT_LT(late, 0.15) << "each word waited for its answer";
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
