// The audio follower: the tone meter against synthetic tones it must
// measure (and noise it must not), and the follower's keying on the
// simulated board, what the chip latched being the judge.
#include "core/Numbers.h"
#include "dds/Board.h"
#include "dds/Port.h"
#include "follow/Follower.h"
#include "follow/ToneMeter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

using namespace kalimor;
using namespace kalimor::follow;

namespace {

// A tone as a sound card would deliver it: 16-bit samples.
std::vector<float> tone(double hz, double rate, double seconds, double amplitude,
                        double phase = 0.3) {
    std::vector<float> out(std::size_t(seconds * rate));
    for (std::size_t n = 0; n < out.size(); ++n)
        out[n] = float(
            std::round(32767 * amplitude * std::sin(phase + 2 * M_PI * hz * double(n) / rate)) /
            32768);
    return out;
}

std::vector<Reading> measure(const std::vector<float>& audio, double rate) {
    ToneMeter meter(rate);
    std::vector<Reading> readings;
    // In blocks of odd lengths, as audio arrives.
    for (std::size_t at = 0; at < audio.size(); at += 333) {
        const std::size_t n = std::min<std::size_t>(333, audio.size() - at);
        meter.feed(std::span<const float>(audio.data() + at, n),
                   [&](const Reading& r) { readings.push_back(r); });
    }
    return readings;
}

constexpr double ClockHz = 100e6;

} // namespace

struct ToneCase {
    double rate, hz, amplitude, worstHz;
};

class ToneMeterTones : public ::testing::TestWithParam<ToneCase> {};

// Every reading of a steady tone, once the window is full: the edges' cubic
// and the least-squares slope keep each within a few hundredths of a hertz,
// at the lowest rate and the highest tone WSJT-X plays, loud or 50 dB down.
TEST_P(ToneMeterTones, EachReadingNearTheTone) {
    const ToneCase c = GetParam();
    const auto readings = measure(tone(c.hz, c.rate, 1.0, c.amplitude), c.rate);
    ASSERT_NEAR(double(readings.size()), 200, 1); // 200 a second
    double worst = 0;
    for (std::size_t i = 2; i < readings.size(); ++i) {
        ASSERT_TRUE(readings[i].hz) << "reading " << i;
        worst = std::max(worst, std::abs(*readings[i].hz - c.hz));
    }
    EXPECT_LT(worst, c.worstHz);
    EXPECT_NEAR(readings.back().levelDb, 20 * std::log10(c.amplitude) - 3.01, 0.2);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, ToneMeterTones,
    ::testing::Values(ToneCase{12000, 200, 0.9, 0.02}, ToneCase{12000, 1500, 0.9, 0.02},
                      ToneCase{12000, 1501.46, 0.9, 0.02}, ToneCase{12000, 3000, 0.9, 0.05},
                      ToneCase{12000, 1500, 0.003, 0.2}, ToneCase{48000, 1500, 0.9, 0.01},
                      ToneCase{44100, 2345.6, 0.5, 0.01}));

// Noise and silence are no tone; a step of the tone shows within two hops
// (the window's length), so a new symbol reaches the board in 10 ms.
TEST(ToneMeter, NoiseSilenceAndSteps) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
    std::vector<float> audio(12000);
    for (float& s : audio) s = noise(random);
    const auto noisy = measure(audio, 12000);
    const auto toned =
        std::count_if(noisy.begin(), noisy.end(), [](const Reading& r) { return r.hz; });
    EXPECT_LT(toned, 3) << "noise read as a tone";

    for (const Reading& r : measure(std::vector<float>(6000, 0.0f), 12000)) {
        EXPECT_FALSE(r.hz);
        EXPECT_LT(r.levelDb, -150);
    }

    auto steps = tone(1500, 12000, 0.5, 0.8);
    const auto second = tone(1550, 12000, 0.5, 0.8, 0);
    steps.insert(steps.end(), second.begin(), second.end());
    const auto readings = measure(steps, 12000);
    // Reading 100 ends at the step; 102 is the first whose window lies past it.
    EXPECT_NEAR(*readings[99].hz, 1500, 0.05);
    ASSERT_TRUE(readings[102].hz);
    EXPECT_NEAR(*readings[102].hz, 1550, 0.05);
}

class FollowerOnBoard : public ::testing::Test {
protected:
    dds::SimulatedBoard sim;
    void SetUp() override { dds::board().setPort(&sim); }
    void TearDown() override {
        dds::board().release(dds::Controller::Sweep);
        dds::board().setPort(nullptr);
    }
    static Reading at(double seconds, std::optional<double> hz, double levelDb = -6) {
        Reading r;
        r.seconds = seconds;
        r.hz = hz;
        r.levelDb = levelDb;
        return r;
    }
    std::vector<dds::DdsState> on() const {
        std::vector<dds::DdsState> out;
        for (const auto& l : sim.loads())
            if (!l.powerDown) out.push_back(l);
        return out;
    }
};

// VOX: on at dial + tone from the first loud reading, a word only when it
// changes, off as soon as the tone is gone, the board kept 50 ms and then
// given back; a reading below the threshold carries no tone.
TEST_F(FollowerOnBoard, VoxKeysWithTheAudio) {
    FollowSetup setup;
    setup.keying = Keying::Vox;
    setup.dialHz = 14'074'000;
    Follower f(setup, ClockHz);
    ASSERT_TRUE(f.start());
    EXPECT_TRUE(dds::board().held().powerDown); // the dial, off
    f.reading(at(0.000, 1500.0, -70));
    EXPECT_TRUE(on().empty());
    for (int i = 1; i <= 4; ++i) f.reading(at(0.005 * i, 1500.0));
    f.reading(at(0.025, 1506.25));
    ASSERT_EQ(on().size(), 2u);
    EXPECT_EQ(on()[0].ftw, std::uint32_t(tuningWord(14'075'500, ClockHz)));
    EXPECT_EQ(on()[1].ftw, std::uint32_t(tuningWord(14'075'506.25, ClockHz)));
    EXPECT_TRUE(f.status().on);
    EXPECT_NE(dds::board().controller(), dds::Controller::Vfo);

    f.reading(at(0.030, std::nullopt, -80));
    EXPECT_TRUE(dds::board().held().powerDown);
    EXPECT_TRUE(f.status().keyed); // the hang
    f.reading(at(0.075, std::nullopt, -80));
    EXPECT_TRUE(f.status().keyed);
    f.reading(at(0.080, std::nullopt, -80));
    EXPECT_FALSE(f.status().keyed);
    EXPECT_EQ(dds::board().controller(), dds::Controller::Vfo);
    EXPECT_TRUE(dds::board().held().powerDown);
}

// CAT: a tone without T 1 sends nothing; T 1 claims the board, the tone
// keys the output, T 0 turns it off and gives the board back. A dial set
// between transmissions moves the next one. Held dial: the output stays on
// at the dial between them.
TEST_F(FollowerOnBoard, CatKeysBetweenT1AndT0) {
    FollowSetup setup;
    setup.keying = Keying::Cat;
    setup.dialHz = 7'074'000;
    setup.holdDial = true;
    Follower f(setup, ClockHz);
    ASSERT_TRUE(f.start());
    EXPECT_FALSE(dds::board().held().powerDown);
    EXPECT_EQ(dds::board().held().word, tuningWord(7'074'000, ClockHz));
    sim.clearLoads();
    f.reading(at(0.0, 1000.0));
    EXPECT_EQ(sim.loadCount(), 0u);
    f.setPtt(true);
    EXPECT_TRUE(f.status().keyed);
    f.reading(at(0.005, 1000.0));
    EXPECT_EQ(dds::board().held().word, tuningWord(7'075'000, ClockHz));
    f.setPtt(false);
    EXPECT_EQ(dds::board().controller(), dds::Controller::Vfo);
    // Off under the key, then the held dial as the VFO's.
    ASSERT_GE(sim.loads().size(), 3u);
    EXPECT_TRUE(sim.loads()[sim.loads().size() - 2].powerDown);
    EXPECT_EQ(dds::board().held().word, tuningWord(7'074'000, ClockHz));
    EXPECT_TRUE(f.setDialHz(10'138'700));
    EXPECT_EQ(dds::board().held().word, tuningWord(10'138'700, ClockHz));
    EXPECT_FALSE(f.setDialHz(1e12));
    EXPECT_EQ(f.dialHz(), 10'138'700);
}

// Another holder keeps the follower off the air and says why; the
// transmit time-out turns a key held too long off until the key ends.
TEST_F(FollowerOnBoard, RefusedAndTimedOut) {
    FollowSetup setup;
    setup.keying = Keying::Vox;
    setup.txTimeout = std::chrono::milliseconds(20);
    Follower f(setup, ClockHz);
    ASSERT_TRUE(f.start());
    ASSERT_FALSE(dds::board().claim(dds::Controller::Sweep));
    // The windows hand their words down; here, words that name the holder.
    dds::setRefusalWording([](dds::Controller holder) {
        return holder.kind == dds::Controller::Kind::Sweep ? QStringLiteral("the sweep holds it")
                                                           : QStringLiteral("another");
    });
    f.reading(at(0.0, 1500.0));
    EXPECT_FALSE(f.status().keyed);
    EXPECT_TRUE(f.status().problem.contains(QLatin1String("sweep")))
        << qPrintable(f.status().problem);
    EXPECT_TRUE(on().empty());
    dds::board().release(dds::Controller::Sweep);

    f.reading(at(0.005, 1500.0));
    EXPECT_TRUE(f.status().on);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    f.reading(at(0.010, 1500.0));
    EXPECT_TRUE(f.status().timedOut);
    EXPECT_TRUE(dds::board().held().powerDown);
    f.reading(at(0.015, 1500.0));
    EXPECT_TRUE(dds::board().held().powerDown);
    f.reading(at(0.1, std::nullopt, -90)); // the key ends
    EXPECT_FALSE(f.status().timedOut);
    EXPECT_TRUE(f.status().problem.isEmpty());
}
