#include "Crystal.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <optional>

namespace kalimor::analyser {

namespace {

constexpr double TwoPi = 2 * std::numbers::pi;

const Point& highest(const Trace& t) {
    return *std::max_element(t.begin(), t.end(),
                             [](const Point& a, const Point& b) { return a.level < b.level; });
}

// A dip's frequency: midway between where it rises 3 dB above its bottom on
// either side. Near fp the crystal's notch falls below any detector's
// floor, so its bottom is flat and its lowest sample only the first there.
std::optional<double> dipHz(const Trace& t) {
    const auto lowest = std::min_element(
        t.begin(), t.end(), [](const Point& a, const Point& b) { return a.level < b.level; });
    const double level = lowest->level + 3;
    auto at = [&](const Point& a, const Point& b) {
        return a.hz + (level - a.level) * (b.hz - a.hz) / (b.level - a.level);
    };
    std::optional<double> low, high;
    for (auto it = lowest; it != t.begin(); --it)
        if ((it - 1)->level >= level) {
            low = at(*(it - 1), *it);
            break;
        }
    for (auto it = lowest; it + 1 != t.end(); ++it)
        if ((it + 1)->level >= level) {
            high = at(*it, *(it + 1));
            break;
        }
    if (!low || !high) return std::nullopt;
    return (*low + *high) / 2;
}

// The top of a peak from a least-squares parabola through every point
// within `downDb` of the highest: the flat steps a detector's ADC leaves at
// the top average out over many points.
std::optional<double> topHz(const Trace& t, double downDb) {
    const double top = highest(t).level;
    // Centred on the highest point for conditioning.
    const double x0 = highest(t).hz;
    double s[5] = {}, sy[3] = {};
    for (const Point& p : t) {
        if (p.level < top - downDb) continue;
        const double x = p.hz - x0;
        double xn = 1;
        for (int k = 0; k < 5; ++k) {
            if (k < 3) sy[k] += xn * p.level;
            s[k] += xn;
            xn *= x;
        }
    }
    if (s[0] < 5) return std::nullopt;
    // Normal equations for level = c0 + c1 x + c2 x^2, by Cramer's rule.
    const double m[3][3] = {{s[0], s[1], s[2]}, {s[1], s[2], s[3]}, {s[2], s[3], s[4]}};
    auto det = [](const double a[3][3]) {
        return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
               a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
               a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    };
    const double d = det(m);
    if (d == 0) return std::nullopt;
    double m1[3][3], m2[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            m1[r][c] = c == 1 ? sy[r] : m[r][c];
            m2[r][c] = c == 2 ? sy[r] : m[r][c];
        }
    const double c1 = det(m1) / d, c2 = det(m2) / d;
    if (!(c2 < 0)) return std::nullopt;
    return x0 - c1 / (2 * c2);
}

} // namespace

double CrystalModel::s21Db(double hz, double r0) const {
    const double w = TwoPi * hz;
    const std::complex<double> j(0, 1);
    const std::complex<double> zm = rm + j * w * lm + 1.0 / (j * w * cm);
    const std::complex<double> z0 = 1.0 / (j * w * c0);
    const std::complex<double> z = zm * z0 / (zm + z0);
    return 20 * std::log10(std::abs(2 * r0 / (2 * r0 + z)));
}

double CrystalModel::seriesHz() const {
    return 1 / (TwoPi * std::sqrt(lm * cm));
}

double CrystalModel::parallelHz() const {
    return seriesHz() * std::sqrt(1 + cm / c0);
}

CrystalModel crystalFixture() {
    return {20, 10e-3, 25.3303e-15, 5e-12};
}

Motional motionalFrom(double fs, double fp, double ilDb, double bwHz, double r0) {
    Motional m;
    m.fs = fs;
    m.fp = fp;
    m.ilDb = ilDb;
    m.bwHz = bwHz;
    m.rm = 2 * r0 * (std::pow(10, ilDb / 20) - 1);
    m.lm = (m.rm + 2 * r0) / (TwoPi * bwHz);
    m.cm = 1 / (std::pow(TwoPi * fs, 2) * m.lm);
    m.c0 = fp > fs ? m.cm * fs * fs / (fp * fp - fs * fs) : 0;
    m.q = m.rm > 0 ? TwoPi * fs * m.lm / m.rm : 0;
    return m;
}

std::optional<Motional> measureCrystal(const SweepFn& sweep, double fromHz, double toHz, double r0,
                                       QString* why) {
    // Coarse: where the peak is, and the notch above it.
    const Trace coarse = sweep(sweepFrequencies(fromHz, toHz, 2001, false));
    if (coarse.size() < 3) {
        *why = QStringLiteral("the sweep gave no points");
        return std::nullopt;
    }
    const Point& peak = highest(coarse);
    const auto after =
        std::find_if(coarse.begin(), coarse.end(), [&](const Point& p) { return p.hz == peak.hz; });
    const auto notch = std::min_element(
        after, coarse.end(), [](const Point& a, const Point& b) { return a.level < b.level; });
    const double step = coarse[1].hz - coarse[0].hz;
    if (peak.level < coarse.front().level + 10 || notch == coarse.end() ||
        notch->level > peak.level - 10 || notch->hz - peak.hz < 2 * step) {
        *why = QStringLiteral("no series resonance with a parallel resonance above it between "
                              "%1 and %2 MHz")
                   .arg(fromHz / 1e6, 0, 'f', 6)
                   .arg(toHz / 1e6, 0, 'f', 6);
        return std::nullopt;
    }
    // Fine around fs: wide enough for the -3 dB points, which a coarse step
    // may hide, so widened until both show.
    double span = 4 * step;
    Trace fine;
    Markers m;
    for (int tries = 0; tries < 8; ++tries, span *= 2) {
        fine = sweep(sweepFrequencies(peak.hz - span, peak.hz + span, 1001, false));
        m = findMarkers(fine);
        if (m.lowHz && m.highHz && m.bandwidthHz() > 20 * (fine[1].hz - fine[0].hz)) break;
    }
    if (!m.lowHz || !m.highHz) {
        *why = QStringLiteral("the resonance near %1 MHz does not fall 3 dB on both sides")
                   .arg(peak.hz / 1e6, 0, 'f', 6);
        return std::nullopt;
    }
    // Fine around fp, widened until the notch shows both its sides.
    std::optional<double> fp;
    for (double around = 2 * step; !fp && around < 64 * step; around *= 2)
        fp = dipHz(sweep(sweepFrequencies(notch->hz - around, notch->hz + around, 1001, false)));
    // fs from a curve through the top: a 10-bit detector flattens it over
    // tens of hertz, where the highest sample is only the first of them.
    return motionalFrom(topHz(fine, 1).value_or(m.centreHz()), fp.value_or(notch->hz),
                        -m.peak.level, m.bandwidthHz(), r0);
}

} // namespace kalimor::analyser
