#include "Swr.h"

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace kalimor::analyser::swr {

namespace {

constexpr double TwoPi = 2 * std::numbers::pi;

double power(double dbm) {
    return std::pow(10.0, dbm / 10);
}

} // namespace

double gammaOf(std::complex<double> z, double z0) {
    return std::abs((z - z0) / (z + z0));
}

double returnLossDb(double gamma) {
    return std::min(MaxReturnLossDb, -20 * std::log10(std::max(gamma, 1e-300)));
}

double swrOf(double gamma) {
    if (gamma >= 1) return std::numeric_limits<double>::infinity();
    return (1 + gamma) / (1 - gamma);
}

std::complex<double> Dut::impedance(double hz) const {
    const double w = TwoPi * std::max(hz, 1.0);
    return {r, w * l - 1 / (w * c)};
}

double Dut::gamma(double hz) const {
    switch (kind) {
    case Kind::Open:
    case Kind::Short:
        return 1;
    case Kind::Load:
        return 0;
    case Kind::Antenna:
        return gammaOf(impedance(hz));
    }
    return 1;
}

QString Dut::text() const {
    switch (kind) {
    case Kind::Open:
        return QStringLiteral("open");
    case Kind::Short:
        return QStringLiteral("short");
    case Kind::Load:
        return QStringLiteral("load");
    case Kind::Antenna:
        return QStringLiteral("antenna:%1:%2:%3")
            .arg(r, 0, 'g', 8)
            .arg(l, 0, 'g', 8)
            .arg(c, 0, 'g', 8);
    }
    return {};
}

std::optional<double> Dut::resonanceHz() const {
    if (kind != Kind::Antenna || l <= 0) return std::nullopt;
    return 1 / (TwoPi * std::sqrt(l * c));
}

std::optional<Dut> parseDut(const QString& text, QString* why) {
    Dut d;
    const QStringList parts = text.trimmed().toLower().split(QLatin1Char(':'));
    if (parts.size() == 1 && parts[0] == QLatin1String("open")) {
        d.kind = Dut::Kind::Open;
        return d;
    }
    if (parts.size() == 1 && parts[0] == QLatin1String("short")) {
        d.kind = Dut::Kind::Short;
        return d;
    }
    if (parts.size() == 1 && parts[0] == QLatin1String("load")) return d;
    if (parts.size() == 4 && parts[0] == QLatin1String("antenna")) {
        bool ok[3] = {};
        d.kind = Dut::Kind::Antenna;
        d.r = parts[1].toDouble(&ok[0]);
        d.l = parts[2].toDouble(&ok[1]);
        d.c = parts[3].toDouble(&ok[2]);
        if (ok[0] && ok[1] && ok[2] && std::isfinite(d.r) && std::isfinite(d.l) &&
            std::isfinite(d.c) && d.r >= 0 && d.l >= 0 && d.c > 0)
            return d;
        *why = QStringLiteral("antenna:R_OHM:L_H:C_F needs R and L of 0 or more and C above 0");
        return std::nullopt;
    }
    *why = QStringLiteral("'%1' is not open, short, load or antenna:R_OHM:L_H:C_F").arg(text);
    return std::nullopt;
}

SimulatedBridge::SimulatedBridge(Dut dut, Detector detector, std::uint32_t seed)
    : m_dut(dut), m_detector(detector), m_random(seed) {}

double SimulatedBridge::steps(double dbm, int samples) {
    const int n = std::max(samples, 1);
    std::normal_distribution<double> noise(0, NoiseDb / std::sqrt(double(n)));
    double mv = m_powered ? m_detector.millivolts(dbm + noise(m_random)) : 0;
    if (m_detector.kind == Detector::Kind::Diode) mv = mv * mv / (mv + DiodeKneeMv) + DiodeOffsetMv;
    return std::clamp(mv * Detector::AdcSteps / Detector::AdcFullScaleMv, 0.0, Detector::AdcSteps);
}

double SimulatedBridge::reflectedSteps(double hz, int samples) {
    // A perfect match sends nothing back: the detector sits at its floor.
    const double g = std::max(m_dut.gamma(hz), 1e-6);
    return steps(SourceDbm - BridgeLossDb + 20 * std::log10(g), samples);
}

double SimulatedBridge::forwardSteps(double, int samples) {
    return steps(SourceDbm - BridgeLossDb, samples);
}

QString standardName(Standard s) {
    switch (s) {
    case Standard::Open:
        return QStringLiteral("open");
    case Standard::Short:
        return QStringLiteral("short");
    case Standard::Load:
        return QStringLiteral("load");
    }
    return {};
}

std::optional<Standard> parseStandard(const QString& text) {
    for (Standard s : {Standard::Open, Standard::Short, Standard::Load})
        if (text == standardName(s)) return s;
    return std::nullopt;
}

namespace {

bool sameGrid(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size() || a.empty()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::fabs(a[i] - b[i]) > 1e-3) return false;
    return true;
}

std::vector<double> hzOf(const Trace& t) {
    std::vector<double> f;
    f.reserve(t.size());
    for (const Point& p : t) f.push_back(p.hz);
    return f;
}

} // namespace

void Calibration::record(Standard s, const Trace& levels) {
    const std::vector<double> f = hzOf(levels);
    if (!sameGrid(f, m_hz)) {
        m_hz = f;
        for (auto& l : m_levels) l.clear();
    }
    auto& kept = m_levels[int(s)];
    kept.clear();
    for (const Point& p : levels) kept.push_back(p.level);
}

bool Calibration::has(Standard s) const {
    return !m_levels[int(s)].empty();
}

bool Calibration::covers(const std::vector<double>& frequencies) const {
    return (has(Standard::Open) || has(Standard::Short)) && sameGrid(frequencies, m_hz);
}

std::optional<SwrTrace> Calibration::apply(const Trace& levels, QString* why) const {
    if (!covers(hzOf(levels))) {
        *why = notCovering();
        return std::nullopt;
    }
    SwrTrace out;
    out.reserve(levels.size());
    const auto& open = m_levels[int(Standard::Open)];
    const auto& shorted = m_levels[int(Standard::Short)];
    const auto& load = m_levels[int(Standard::Load)];
    for (size_t i = 0; i < levels.size(); ++i) {
        double full = 0;
        int n = 0;
        if (!open.empty()) full += power(open[i]), ++n;
        if (!shorted.empty()) full += power(shorted[i]), ++n;
        full /= n;
        const double leak = load.empty() ? 0 : power(load[i]);
        const double reflected = std::max(0.0, power(levels[i].level) - leak);
        const double gamma2 = full > leak ? reflected / (full - leak) : 1;
        out.push_back({levels[i].hz, std::min(1.0, std::sqrt(gamma2))});
    }
    return out;
}

QString Calibration::notCovering() const {
    if (m_hz.empty() || !(has(Standard::Open) || has(Standard::Short)))
        return QStringLiteral("not calibrated: connect an open (or a short) to the bridge and "
                              "calibrate over this range first");
    return QStringLiteral("calibrated over %1 to %2 MHz in %3 points, not this range: calibrate "
                          "again with an open (or a short)")
        .arg(m_hz.front() / 1e6, 0, 'f', 6)
        .arg(m_hz.back() / 1e6, 0, 'f', 6)
        .arg(m_hz.size());
}

QString Calibration::describe() const {
    QStringList with;
    for (Standard s : {Standard::Open, Standard::Short, Standard::Load})
        if (has(s)) with << standardName(s);
    if (with.isEmpty()) return QStringLiteral("not calibrated");
    return QStringLiteral("calibrated with %1 over %2 to %3 MHz, %4 points")
        .arg(with.join(QLatin1String(" and ")))
        .arg(m_hz.front() / 1e6, 0, 'f', 6)
        .arg(m_hz.back() / 1e6, 0, 'f', 6)
        .arg(m_hz.size());
}

QString Calibration::toText() const {
    QString out = QStringLiteral("# Kalimor SWR calibration: detector levels in dBm\n"
                                 "frequency_hz,open_dbm,short_dbm,load_dbm\n");
    for (size_t i = 0; i < m_hz.size(); ++i) {
        out += QString::number(m_hz[i], 'f', 3);
        for (const auto& l : m_levels)
            out += QLatin1Char(',') + (l.empty() ? QString() : QString::number(l[i], 'f', 5));
        out += QLatin1Char('\n');
    }
    return out;
}

std::optional<Calibration> Calibration::fromText(const QString& text) {
    Calibration c;
    bool header = false;
    for (const QString& raw : text.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
        if (line.startsWith(QLatin1String("frequency_hz"))) {
            header = true;
            continue;
        }
        const QStringList f = line.split(QLatin1Char(','));
        bool ok = false;
        const double hz = f.value(0).toDouble(&ok);
        if (!header || f.size() != 4 || !ok || (!c.m_hz.empty() && hz <= c.m_hz.back()))
            return std::nullopt;
        c.m_hz.push_back(hz);
        for (int s = 0; s < 3; ++s) {
            if (f[s + 1].isEmpty()) continue;
            const double level = f[s + 1].toDouble(&ok);
            if (!ok || !std::isfinite(level)) return std::nullopt;
            c.m_levels[s].push_back(level);
        }
    }
    // A standard is measured at every point or at none.
    for (const auto& l : c.m_levels)
        if (!l.empty() && l.size() != c.m_hz.size()) return std::nullopt;
    if (c.m_hz.empty()) return std::nullopt;
    return c;
}

namespace {

// Where the SWR crosses `level` between two points, linearly: between points
// a few kHz apart the curve is nearly straight (within tens of hertz on a
// 40 m dipole swept in 12 kHz steps).
double crossing(const SwrPoint& a, const SwrPoint& b, double level) {
    const double sa = a.swr(), sb = b.swr();
    if (!std::isfinite(sa) || !std::isfinite(sb) || sa == sb)
        return std::isfinite(sa) ? a.hz : b.hz;
    return a.hz + (level - sa) * (b.hz - a.hz) / (sb - sa);
}

} // namespace

Summary summarise(const SwrTrace& t, const std::vector<double>& levels) {
    Summary s;
    if (t.empty()) return s;
    const auto least = std::min_element(
        t.begin(), t.end(), [](const SwrPoint& a, const SwrPoint& b) { return a.gamma < b.gamma; });
    const size_t i = size_t(least - t.begin());
    s.resonanceHz = least->hz;
    s.gamma = least->gamma;
    if (i > 0 && i + 1 < t.size()) {
        // The parabola through (f, |Gamma|^2) at the three points.
        const double x0 = t[i - 1].hz, x1 = t[i].hz, x2 = t[i + 1].hz;
        const double y0 = t[i - 1].gamma * t[i - 1].gamma, y1 = t[i].gamma * t[i].gamma,
                     y2 = t[i + 1].gamma * t[i + 1].gamma;
        const double d01 = (y1 - y0) / (x1 - x0), d12 = (y2 - y1) / (x2 - x1);
        const double a = (d12 - d01) / (x2 - x0);
        if (a > 0) {
            // Newton's form: y0 + d01 (x - x0) + a (x - x0)(x - x1).
            const double x = std::clamp((x0 + x1) / 2 - d01 / (2 * a), x0, x2);
            const double y = y0 + d01 * (x - x0) + a * (x - x0) * (x - x1);
            s.resonanceHz = x;
            s.gamma = std::sqrt(std::clamp(std::min(y, y1), 0.0, 1.0));
        }
    }
    for (double level : levels) {
        Band band;
        band.swr = level;
        if (least->swr() <= level) {
            for (size_t k = i; k > 0; --k)
                if (t[k - 1].swr() >= level) {
                    band.lowHz = crossing(t[k - 1], t[k], level);
                    break;
                }
            for (size_t k = i; k + 1 < t.size(); ++k)
                if (t[k + 1].swr() >= level) {
                    band.highHz = crossing(t[k], t[k + 1], level);
                    break;
                }
        }
        s.bands.push_back(band);
    }
    return s;
}

QString toCsv(const SwrTrace& trace, const QString& description) {
    QString out = QStringLiteral("# Kalimor antenna analyser: %1\n").arg(description);
    out += QStringLiteral("frequency_hz,return_loss_db,swr\n");
    for (const SwrPoint& p : trace)
        out += QStringLiteral("%1,%2,%3\n")
                   .arg(p.hz, 0, 'f', 3)
                   .arg(p.returnLossDb(), 0, 'f', 3)
                   .arg(std::isfinite(p.swr()) ? QString::number(p.swr(), 'f', 4)
                                               : QStringLiteral("inf"));
    return out;
}

const std::vector<HamBand>& hamBands() {
    static const std::vector<HamBand> bands = {
        {"160 m", 1.8e6, 2.0e6},      {"80 m", 3.5e6, 4.0e6},    {"60 m", 5.3515e6, 5.3665e6},
        {"40 m", 7.0e6, 7.3e6},       {"30 m", 10.1e6, 10.15e6}, {"20 m", 14.0e6, 14.35e6},
        {"17 m", 18.068e6, 18.168e6}, {"15 m", 21.0e6, 21.45e6}, {"12 m", 24.89e6, 24.99e6},
        {"10 m", 28.0e6, 29.7e6},     {"6 m", 50.0e6, 54.0e6}};
    return bands;
}

std::pair<double, double> bandSweep(double lowHz, double highHz) {
    const double margin = std::max(50e3, (highHz - lowHz) / 4);
    return {std::max(1e3, lowHz - margin), highHz + margin};
}

std::optional<double> DetectorPair::gamma(double forwardSteps, double reflectedSteps) const {
    const double fwd = forwardSteps - forwardOffset;
    // Without drive on the forward detector the ratio means nothing.
    if (fwd < 1) return std::nullopt;
    const double ratio = std::max(0.0, reflectedSteps - reflectedOffset) / fwd;
    const auto& t = linearisation;
    if (t.empty()) return std::min(ratio, 1.0);
    // Piecewise linear through (0, 0), the known loads, and on past the last.
    double x0 = 0, y0 = 0;
    for (size_t k = 0; k < t.size(); ++k) {
        const auto [x1, y1] = t[k];
        if (ratio <= x1 || k + 1 == t.size()) {
            const double g = x1 > x0 ? y0 + (ratio - x0) * (y1 - y0) / (x1 - x0) : y1;
            return std::clamp(g, 0.0, 1.0);
        }
        x0 = x1;
        y0 = y1;
    }
    return std::min(ratio, 1.0);
}

void DetectorPair::addKnownLoad(double ratio, double trueGamma) {
    auto& t = linearisation;
    t.erase(std::remove_if(t.begin(), t.end(),
                           [&](const auto& p) { return std::fabs(p.first - ratio) < 1e-6; }),
            t.end());
    t.emplace_back(ratio, trueGamma);
    std::sort(t.begin(), t.end());
}

} // namespace kalimor::analyser::swr
