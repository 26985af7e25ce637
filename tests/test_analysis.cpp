#include "analyser/Analysis.h"
#include "analyser/Crystal.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// A through on another grid is read at each measured frequency; one that
// does not cover the run is refused, and a run is never cut to it.
TEST(Analysis, NormalisedToAThroughByFrequency) {
    QString why;
    const Trace through = {{1e6, -1.5, 0}, {2e6, -2.0, 0}, {3e6, -2.5, 0}};
    const Trace measured = {
        {1e6, -11.5, 0}, {1.5e6, -21.75, 0}, {2e6, -32.0, 0}, {2.5e6, -12.25, 0}};
    const auto n = normalise(measured, through, &why);
    ASSERT_TRUE(n);
    ASSERT_EQ(n->size(), 4u);
    const double expected[] = {-10, -20, -30, -10};
    for (size_t i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ((*n)[i].level, expected[i]) << i;
    EXPECT_FALSE(normalise({{0.5e6, 0, 0}, {2e6, 0, 0}}, through, &why));
    EXPECT_TRUE(why.contains(QStringLiteral("record a through")));
    EXPECT_FALSE(normalise(measured, {}, &why));
}

// The markers each shape needs, against analytic responses: the 5th-order
// Butterworth low- and high-pass are 3.01 dB down at their corners, the
// notch's -3 dB width is f0/Q exactly, its depth the 40 dB it is held to.
TEST(Analysis, MarkersByShape) {
    struct Case {
        SimulatedDevice::Kind device;
        double from, to;
        Shape shape;
        double expected; // the corner, the notch's -3 dB width, or the band-pass centre
    } cases[] = {
        {SimulatedDevice::Kind::LowPass, 1e6, 20e6, Shape::LowPass, 7e6},
        {SimulatedDevice::Kind::HighPass, 0.5e6, 10e6, Shape::HighPass, 3e6},
        {SimulatedDevice::Kind::Notch, 5e6, 15e6, Shape::Notch, 10e6 / 30},
        {SimulatedDevice::Kind::CrystalFilter, 10.68e6, 10.72e6, Shape::BandPass, 10.7e6},
        {SimulatedDevice::Kind::Through, 1e6, 2e6, Shape::Flat, 0},
    };
    for (const Case& c : cases) {
        const SimulatedDevice device{c.device};
        Trace trace;
        for (double hz : sweepFrequencies(c.from, c.to, 1001, false))
            trace.push_back({hz, device.responseDb(hz), 0});
        const ShapeMarkers m = shapeMarkers(trace);
        EXPECT_EQ(m.shape, c.shape) << qPrintable(SimulatedDevice::name(c.device));
        double got = 0;
        if (c.shape == Shape::LowPass || c.shape == Shape::HighPass) got = m.cornerHz.value_or(0);
        if (c.shape == Shape::Notch) {
            got = m.bandwidthHz();
            EXPECT_NEAR(m.depthDb, 40, 0.2);
            EXPECT_NEAR(m.notch.hz, 10e6, 0.005 * 10e6);
        }
        if (c.shape == Shape::BandPass) got = m.centreHz();
        EXPECT_NEAR(got, c.expected, 0.005 * c.expected)
            << qPrintable(SimulatedDevice::name(c.device));
    }
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
    // An import is checked point by point, and the reason names the line.
    const char* head = "# Kalimor network analyser: x\nfrequency_hz,level,raw\n";
    struct Case {
        const char* body;
        const char* why;
    } refused[] = {{"2,0,0\n1,0,0\n", "line 4: 1.000 Hz comes after 2.000 Hz"},
                   {"1,0,0\n1,0,0\n", "line 4: 1.000 Hz repeats"},
                   {"-1e9,0,0\n", "line 3: -1000000000 Hz is outside 0 to 50000000 Hz"},
                   {"1,0,0\n1e300,0,0\n", "line 4: 1e+300 Hz is outside"}};
    for (const Case& c : refused) {
        QString why;
        EXPECT_FALSE(readCsv(QLatin1String(head) + QLatin1String(c.body), 50e6, nullptr, &why));
        EXPECT_TRUE(why.startsWith(QLatin1String(c.why))) << qPrintable(why);
    }
}

// What a plot gets of a long trace: every column's lowest and highest point,
// in order, the edges' neighbours, and never more than two points a column.
TEST(Analysis, ReducedForThePlotKeepsEachColumnsExtremes) {
    Trace trace;
    for (int i = 0; i < 100'000; ++i)
        trace.push_back({1e6 + i * 10.0, std::sin(i * 0.37) * 20 - (i == 54'321 ? 90 : 0), 0});
    for (const bool log : {false, true}) {
        const double from = 1.2e6, to = 1.8e6;
        const Trace r = reduceForPlot(trace, from, to, 300, log);
        ASSERT_LE(r.size(), 2u * 300 + 2);
        EXPECT_DOUBLE_EQ(r.front().hz, from - 10); // the neighbours outside
        EXPECT_DOUBLE_EQ(r.back().hz, to + 10);
        for (size_t i = 1; i < r.size(); ++i) EXPECT_LT(r[i - 1].hz, r[i].hz);
        // The spike and the extremes inside the range are drawn.
        EXPECT_TRUE(std::any_of(r.begin(), r.end(), [](const Point& p) { return p.level < -100; }));
        double low = 0, high = 0;
        for (const Point& p : trace)
            if (p.hz >= from && p.hz <= to)
                low = std::min(low, p.level), high = std::max(high, p.level);
        const auto [lo, hi] = std::minmax_element(
            r.begin(), r.end(), [](const Point& a, const Point& b) { return a.level < b.level; });
        EXPECT_EQ(lo->level, low);
        EXPECT_EQ(hi->level, high);
    }
    const Trace small(trace.begin(), trace.begin() + 500);
    EXPECT_EQ(reduceForPlot(small, 1e6, 2e6, 300, false).size(), small.size());
}

TEST(Crystal, ThePublishedCheck) {
    // fs 9.996490 MHz, fp 10.017730 MHz, Cm 27.1 fF: Lm 9.354 mH, C0 6.370 pF.
    const double fs = 9.996490e6, fp = 10.017730e6, cm = 27.1e-15;
    const double lm = 1 / (std::pow(2 * M_PI * fs, 2) * cm);
    const double bw = (10 + 2 * 12.5) / (2 * M_PI * lm); // the loaded bandwidth Rm = 10 ohm gives
    const Motional m = motionalFrom(fs, fp, 20 * std::log10((10 + 25) / 25.0), bw, 12.5);
    EXPECT_NEAR(m.rm, 10, 1e-9);
    EXPECT_NEAR(m.lm, 9.354e-3, 0.0005e-3);
    EXPECT_NEAR(m.cm, 27.1e-15, 0.01e-15);
    EXPECT_NEAR(m.c0, 6.370e-12, 0.001e-12);
}

// The whole measurement (coarse sweep, fine sweeps, the formulas) on the
// simulated crystal's BVD response: each motional value within 2 %.
TEST(Crystal, MeasuredFromTheModelsResponse) {
    const CrystalModel truth = crystalFixture();
    const SweepFn sweep = [&](const std::vector<double>& frequencies) {
        Trace t;
        for (double hz : frequencies) t.push_back({hz, truth.s21Db(hz, crystalFixtureR0), 0});
        return t;
    };
    QString why;
    const auto m = measureCrystal(sweep, 9.95e6, 10.05e6, crystalFixtureR0, &why);
    ASSERT_TRUE(m) << qPrintable(why);
    EXPECT_NEAR(m->fs, truth.seriesHz(), 1e-6 * truth.seriesHz());
    EXPECT_NEAR(m->rm, truth.rm, 0.02 * truth.rm);
    EXPECT_NEAR(m->lm, truth.lm, 0.02 * truth.lm);
    EXPECT_NEAR(m->cm, truth.cm, 0.02 * truth.cm);
    EXPECT_NEAR(m->c0, truth.c0, 0.02 * truth.c0);
    EXPECT_NEAR(m->q, 2 * M_PI * truth.seriesHz() * truth.lm / truth.rm, 0.02 * m->q);
    EXPECT_FALSE(measureCrystal(sweep, 11e6, 12e6, crystalFixtureR0, &why)); // nothing there
}
