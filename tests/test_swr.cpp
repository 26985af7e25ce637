#include "analyser/Crystal.h"
#include "analyser/Swr.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace kalimor::analyser;
using namespace kalimor::analyser::swr;

// Loads through the bridge's arithmetic. 30 + j40 has |Z| = 50 yet SWR 3:
// it catches an SWR computed from |Z|.
TEST(Swr, LoadsThroughTheBridge) {
    struct Row {
        std::complex<double> z;
        double swr, returnLossDb;
    };
    const Row rows[] = {
        {{50, 0}, 1.000, MaxReturnLossDb}, {{25, 0}, 2.000, 9.542},   {{100, 0}, 2.000, 9.542},
        {{75, 0}, 1.500, 13.979},          {{12.5, 0}, 4.000, 4.437}, {{200, 0}, 4.000, 4.437},
        {{30, 40}, 3.000, 6.021},
    };
    for (const Row& r : rows) {
        const double g = gammaOf(r.z);
        EXPECT_NEAR(swrOf(g), r.swr, 5e-4) << r.z.real() << "+j" << r.z.imag();
        EXPECT_NEAR(returnLossDb(g), r.returnLossDb, 5e-4) << r.z.real() << "+j" << r.z.imag();
    }
    EXPECT_TRUE(std::isinf(swrOf(1)));
}

// The 40 m antenna (R 50, L 10 uH, C 50.249 pF) in 101 points from 6.5 to
// 7.7 MHz, 12 kHz apart, on the simulated bridge after an open calibration:
// resonance and the SWR 2 edges within 1 kHz, where the nearest sample is up
// to 6 kHz off. With the load measured as well the answer stays.
TEST(Swr, SimulatedAntennaAfterOpenCalibration) {
    const auto f = sweepFrequencies(6.5e6, 7.7e6, 101, false);
    const Detector log;
    auto sweep = [&](const Dut& dut) {
        SimulatedBridge bridge(dut, log, 7);
        Trace t;
        for (double hz : f)
            t.push_back({hz, log.dbm(Detector::adcToMv(bridge.reflectedSteps(hz, 16))), 0});
        return t;
    };
    QString why;
    Calibration cal;
    EXPECT_FALSE(cal.apply(sweep(Dut{}), &why));
    EXPECT_TRUE(why.startsWith(QLatin1String("not calibrated"))) << qPrintable(why);
    cal.record(Standard::Open, sweep(*parseDut(QStringLiteral("open"), &why)));
    const Dut antenna = *parseDut(QStringLiteral("antenna:50:10e-6:50.249e-12"), &why);
    for (bool withLoad : {false, true}) {
        if (withLoad) cal.record(Standard::Load, sweep(Dut{}));
        const auto t = cal.apply(sweep(antenna), &why);
        ASSERT_TRUE(t) << qPrintable(why);
        const Summary s = summarise(*t);
        EXPECT_NEAR(s.resonanceHz, 7.0999685e6, 1e3);
        EXPECT_NEAR(s.swr(), 1.0, 0.02);
        ASSERT_EQ(s.bands.size(), 3u);
        EXPECT_NEAR(*s.bands[1].lowHz, 6.824192e6, 1e3);
        EXPECT_NEAR(*s.bands[1].highHz, 7.386890e6, 1e3);
        EXPECT_LT(s.bands[0].widthHz(), s.bands[1].widthHz());
        EXPECT_LT(s.bands[1].widthHz(), s.bands[2].widthHz());
    }
    // Another range is not this calibration's.
    EXPECT_FALSE(cal.covers(sweepFrequencies(6.5e6, 7.7e6, 102, false)));
    const auto back = Calibration::fromText(cal.toText());
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->has(Standard::Load) && back->covers(f));
}

TEST(Swr, DutsFromTheCommandLine) {
    struct Row {
        const char* text;
        bool ok;
        double gammaAt7MHz;
    };
    const Row rows[] = {
        {"open", true, 1},
        {"short", true, 1},
        {"load", true, 0},
        {"antenna:25:0:1", true, 1 / 3.0},
        {"antenna:-1:0:1", false, 0},
        {"antenna:50:0:0", false, 0},
        {"antenna:50:1e-6", false, 0},
        {"dipole", false, 0},
    };
    for (const Row& r : rows) {
        QString why;
        const auto d = parseDut(QLatin1String(r.text), &why);
        EXPECT_EQ(bool(d), r.ok) << r.text;
        if (!d) {
            EXPECT_FALSE(why.isEmpty());
            continue;
        }
        EXPECT_NEAR(d->gamma(7e6), r.gammaAt7MHz, 1e-6) << r.text;
        EXPECT_EQ(parseDut(d->text(), &why)->text(), d->text());
    }
}

// A diode pair reads a 25 and a 100 ohm load low (square law at low level);
// after the offsets and a linearisation from known loads both read SWR 2.
TEST(Swr, DiodePairLinearised) {
    // A diode detector: square law well below its knee, linear above.
    auto diode = [](double mv) { return mv * mv / (mv + 150) / 4.887 + 3; }; // steps, 3 offset
    const double drive = 1000;
    DetectorPair pair;
    pair.forwardOffset = pair.reflectedOffset = 3;
    auto read = [&](double gamma) { return pair.gamma(diode(drive), diode(drive * gamma)); };
    EXPECT_LT(swrOf(*read(1 / 3.0)), 1.8); // unlinearised: the fault users report
    for (double g : {0.0, 0.2, 0.6, 1.0}) {
        const double ratio = (diode(drive * g) - 3) / (diode(drive) - 3);
        pair.addKnownLoad(ratio, g);
    }
    EXPECT_NEAR(swrOf(*read(1 / 3.0)), 2.0, 0.1);
    EXPECT_NEAR(swrOf(*read(0.6)), 4.0, 1e-6);
    EXPECT_FALSE(pair.gamma(3, 3)); // output powered down: no ratio
}

// The crystal's fs from the middle of its -3 dB points, not the highest
// sample: through a 10-bit ADC the top is flat over about +/-80 Hz. The
// simulated crystal (Lm 10 mH, Cm 25.3303 fF, Rm 20 ohm, C0 5 pF, 12.5 ohm
// fixture) has fs 10.000000 MHz; two measurements with their own noise
// agree within 5 Hz.
TEST(Swr, CrystalFitThroughATenBitDetector) {
    const CrystalModel truth = crystalFixture();
    ASSERT_NEAR(truth.seriesHz(), 10e6, 1);
    const Detector log;
    double fs[2] = {};
    for (int run = 0; run < 2; ++run) {
        std::mt19937 random(run + 1);
        std::normal_distribution<double> noise(0, 0.02);
        const SweepFn sweep = [&](const std::vector<double>& frequencies) {
            Trace t;
            for (double hz : frequencies) {
                const double mv = log.millivolts(truth.s21Db(hz, crystalFixtureR0) + noise(random));
                const double steps = std::round(mv * Detector::AdcSteps / Detector::AdcFullScaleMv);
                t.push_back({hz, log.dbm(Detector::adcToMv(steps)), steps});
            }
            return t;
        };
        QString why;
        const auto m = measureCrystal(sweep, 9.95e6, 10.05e6, crystalFixtureR0, &why);
        ASSERT_TRUE(m) << qPrintable(why);
        fs[run] = m->fs;
        EXPECT_NEAR(m->fs, truth.seriesHz(), 10);
        EXPECT_NEAR(m->rm, truth.rm, 0.05 * truth.rm);
        EXPECT_NEAR(m->fp, truth.parallelHz(), 10);
    }
    EXPECT_NEAR(fs[0], fs[1], 5);
}
