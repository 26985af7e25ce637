#include "Crystal.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace kalimor::analyser {

namespace {

constexpr double TwoPi = 2 * std::numbers::pi;

const Point& highest(const Trace& t) {
    return *std::max_element(t.begin(), t.end(),
                             [](const Point& a, const Point& b) { return a.level < b.level; });
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

CrystalModel crystalFixture() {
    return {25, 9.354e-3, 27.1e-15, 6.37e-12};
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
    // Fine around fp.
    const Trace fineP =
        sweep(sweepFrequencies(notch->hz - 2 * step, notch->hz + 2 * step, 1001, false));
    const Point& deepest =
        *std::min_element(fineP.begin(), fineP.end(),
                          [](const Point& a, const Point& b) { return a.level < b.level; });
    return motionalFrom(m.peak.hz, deepest.hz, -m.peak.level, m.bandwidthHz(), r0);
}

} // namespace kalimor::analyser
