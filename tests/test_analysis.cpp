#include "analyser/Analysis.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace kalimor::analyser;

TEST(Analysis, SpacingEndsExactlyAtTheLimits) {
    const auto lin = sweepFrequencies(1e6, 2e6, 11, false);
    EXPECT_EQ(lin.front(), 1e6);
    EXPECT_EQ(lin.back(), 2e6);
    EXPECT_DOUBLE_EQ(lin[1] - lin[0], 1e5);
    const auto log = sweepFrequencies(1e5, 3e7, 1001, true);
    EXPECT_EQ(log.front(), 1e5);
    EXPECT_EQ(log.back(), 3e7);
    const double ratio = log[1] / log[0];
    for (size_t i = 1; i < log.size(); ++i) EXPECT_NEAR(log[i] / log[i - 1], ratio, 1e-12) << i;
}

// The markers against the analytic response of the simulated crystal
// filter: |x| = 1 at the -3 dB points, x = Q (f/f0 - f0/f), so the bandwidth
// is f0/Q and the points sit symmetrically (in ratio) about f0.
TEST(Analysis, MarkersReadTheResonatorsBandwidthAndCentre) {
    SimulatedDevice crystal;
    Trace trace;
    for (double hz : sweepFrequencies(10.68e6, 10.72e6, 1001, false))
        trace.push_back({hz, crystal.responseDb(hz), 0});
    const Markers m = findMarkers(trace);
    const double f0 = 10.7e6, q = 1000;
    const double half = f0 / (2 * q), root = std::sqrt(1 + 1 / (4 * q * q));
    const double low = f0 * (root - 1 / (2 * q)), high = f0 * (root + 1 / (2 * q));
    EXPECT_NEAR(m.bandwidthHz(), f0 / q, 0.005 * f0 / q);
    EXPECT_NEAR(m.centreHz(), (low + high) / 2, 0.005 * half);
    EXPECT_NEAR(m.q(), f0 / (f0 / q), 0.005 * q);
    EXPECT_NEAR(m.peak.level, -2, 0.01);
    // Shape factor of a fourth-order skirt, where 1 + x^4 = 10^(dB/10): the
    // widths in x are the fourth roots, near enough the widths in frequency.
    Trace wide;
    for (double hz : sweepFrequencies(10.4e6, 11e6, 10001, false))
        wide.push_back({hz, crystal.responseDb(hz), 0});
    const double expected = std::pow((1e6 - 1) / (std::pow(10, 0.6) - 1), 0.25);
    EXPECT_NEAR(widthAt(wide, 60) / widthAt(wide, 6), expected, 0.01 * expected);
}

TEST(Analysis, NormalisedToAThroughTrace) {
    const Trace through = {{1e6, -1.5, 0}, {2e6, -2.0, 0}};
    const Trace measured = {{1e6, -11.5, 0}, {2e6, -32.0, 0}};
    const Trace n = normalise(measured, through);
    ASSERT_EQ(n.size(), 2u);
    EXPECT_DOUBLE_EQ(n[0].level, -10);
    EXPECT_DOUBLE_EQ(n[1].level, -30);
}

TEST(Analysis, DetectorsAndTheirTwoPointCalibration) {
    for (auto kind : {Detector::Kind::Log, Detector::Kind::Diode}) {
        Detector d;
        d.kind = kind;
        for (double dbm : {-60.0, -20.0, 0.0}) EXPECT_NEAR(d.dbm(d.millivolts(dbm)), dbm, 1e-9);
        Detector truth = d;
        truth.slopeMvPerDb = 24;
        truth.interceptDbm = -87;
        truth.diodeA = 19;
        truth.diodeB = -48;
        ASSERT_TRUE(d.calibrate(truth.millivolts(-50), -50, truth.millivolts(-10), -10));
        EXPECT_NEAR(d.dbm(truth.millivolts(-30)), -30, 1e-6);
        EXPECT_FALSE(d.calibrate(100, -10, 100, -10));
    }
}

TEST(Analysis, CsvRoundTripAndRefusals) {
    const Trace trace = {{10.7e6, -2.25, 512.5}, {10.71e6, -40.125, 300}};
    QString description;
    const auto back = fromCsv(toCsv(trace, QStringLiteral("log detector, 25 mV/dB")), &description);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->size(), 2u);
    EXPECT_DOUBLE_EQ((*back)[1].hz, 10.71e6);
    EXPECT_DOUBLE_EQ((*back)[1].level, -40.125);
    EXPECT_DOUBLE_EQ((*back)[0].raw, 512.5);
    EXPECT_TRUE(description.contains(QStringLiteral("25 mV/dB")));
    for (const char* bad : {"", "frequency_hz,level,raw\n", "1,2,3\n",
                            "frequency_hz,level,raw\n1,x,3\n", "frequency_hz,level,raw\nnan,1\n"})
        EXPECT_FALSE(fromCsv(QString::fromLatin1(bad), nullptr)) << bad;
}
