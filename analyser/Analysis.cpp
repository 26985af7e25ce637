#include "Analysis.h"

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <complex>

namespace kalimor::analyser {

std::vector<double> sweepFrequencies(double startHz, double stopHz, int points, bool logSpacing) {
    std::vector<double> f(static_cast<size_t>(std::max(points, 2)));
    const double n = double(f.size() - 1);
    for (size_t i = 0; i < f.size(); ++i)
        f[i] = logSpacing ? startHz * std::pow(stopHz / startHz, double(i) / n)
                          : startHz + (stopHz - startHz) * double(i) / n;
    f.front() = startHz;
    f.back() = stopHz;
    return f;
}

double Detector::dbm(double mv) const {
    if (kind == Kind::Log) return mv / slopeMvPerDb + interceptDbm;
    return diodeA * std::log10(std::max(mv, 1e-3)) + diodeB;
}

double Detector::millivolts(double level) const {
    if (kind == Kind::Log) return std::max(0.0, slopeMvPerDb * (level - interceptDbm));
    return std::pow(10.0, (level - diodeB) / diodeA);
}

bool Detector::calibrate(double mv1, double dbm1, double mv2, double dbm2) {
    if (kind == Kind::Log) {
        if (std::fabs(dbm1 - dbm2) < 1e-9 || std::fabs(mv1 - mv2) < 1e-9) return false;
        slopeMvPerDb = (mv1 - mv2) / (dbm1 - dbm2);
        interceptDbm = dbm1 - mv1 / slopeMvPerDb;
        return true;
    }
    if (mv1 <= 0 || mv2 <= 0 || std::fabs(std::log10(mv1) - std::log10(mv2)) < 1e-9) return false;
    diodeA = (dbm1 - dbm2) / (std::log10(mv1) - std::log10(mv2));
    diodeB = dbm1 - diodeA * std::log10(mv1);
    return true;
}

QString Detector::describe() const {
    if (kind == Kind::Log)
        return QStringLiteral("log detector, %1 mV/dB, intercept %2 dBm")
            .arg(slopeMvPerDb, 0, 'g', 6)
            .arg(interceptDbm, 0, 'g', 6);
    return QStringLiteral("diode detector, dBm = %1 log10(mV) %2 %3")
        .arg(diodeA, 0, 'g', 6)
        .arg(diodeB < 0 ? '-' : '+')
        .arg(std::fabs(diodeB), 0, 'g', 6);
}

Trace normalise(const Trace& measured, const Trace& through) {
    Trace out = measured;
    const size_t n = std::min(measured.size(), through.size());
    out.resize(n);
    for (size_t i = 0; i < n; ++i) out[i].level = measured[i].level - through[i].level;
    return out;
}

namespace {

// Where the trace crosses `level` between points i and j, interpolated.
double crossing(const Point& a, const Point& b, double level) {
    if (a.level == b.level) return a.hz;
    return a.hz + (level - a.level) * (b.hz - a.hz) / (b.level - a.level);
}

} // namespace

Markers findMarkers(const Trace& trace, double downDb) {
    Markers m;
    if (trace.empty()) return m;
    const auto peak =
        std::max_element(trace.begin(), trace.end(),
                         [](const Point& a, const Point& b) { return a.level < b.level; });
    m.peak = *peak;
    const double level = peak->level - downDb;
    for (auto it = peak; it != trace.begin(); --it)
        if ((it - 1)->level <= level) {
            m.lowHz = crossing(*(it - 1), *it, level);
            break;
        }
    for (auto it = peak; it + 1 != trace.end(); ++it)
        if ((it + 1)->level <= level) {
            m.highHz = crossing(*it, *(it + 1), level);
            break;
        }
    return m;
}

double widthAt(const Trace& trace, double downDb) {
    return findMarkers(trace, downDb).bandwidthHz();
}

double SimulatedDevice::responseDb(double hz) const {
    const double f = std::max(hz, 1.0);
    switch (kind) {
    case Kind::Through:
        return 0;
    case Kind::CrystalFilter: {
        // Two coupled crystal resonators at 10.7 MHz: a band-pass about 15 kHz
        // wide with steep skirts, and 2 dB of loss.
        const double f0 = 10.7e6, q = 1000;
        const double x = q * (f / f0 - f0 / f);
        return -2 - 10 * std::log10(1 + std::pow(x, 4));
    }
    case Kind::LowPass:
        // A 5th-order Butterworth LC low-pass with its corner at 7 MHz.
        return -10 * std::log10(1 + std::pow(f / 7e6, 10));
    case Kind::Notch: {
        // A trap at 10 MHz, Q 30, 40 dB deep at most.
        const double f0 = 10e6, q = 30;
        const std::complex<double> h(f0 * f0 - f * f, 0);
        const std::complex<double> d(f0 * f0 - f * f, f * f0 / q);
        return std::max(-40.0, 20 * std::log10(std::abs(h / d) + 1e-12));
    }
    }
    return 0;
}

QString SimulatedDevice::name(Kind kind) {
    switch (kind) {
    case Kind::Through:
        return QStringLiteral("Through (no device)");
    case Kind::CrystalFilter:
        return QStringLiteral("Crystal band-pass, 10.7 MHz");
    case Kind::LowPass:
        return QStringLiteral("LC low-pass, 7 MHz");
    case Kind::Notch:
        return QStringLiteral("Notch, 10 MHz");
    }
    return {};
}

SimulatedDetector::SimulatedDetector(SimulatedDevice device, Detector detector, std::uint32_t seed)
    : m_device(device), m_detector(detector), m_random(seed) {}

double SimulatedDetector::readSteps(double hz, int samples) {
    std::normal_distribution<double> noise(0, NoiseDb * std::sqrt(double(std::max(samples, 1))));
    const double level =
        SourceDbm + m_device.responseDb(hz) + noise(m_random) / std::max(samples, 1);
    const double mv = m_detector.millivolts(level);
    return std::clamp(mv * Detector::AdcSteps / Detector::AdcFullScaleMv, 0.0, Detector::AdcSteps);
}

QString toCsv(const Trace& trace, const QString& description) {
    QString out = QStringLiteral("# Kalimor network analyser: %1\n").arg(description);
    out += QStringLiteral("frequency_hz,level,raw\n");
    for (const Point& p : trace)
        out += QStringLiteral("%1,%2,%3\n")
                   .arg(p.hz, 0, 'f', 3)
                   .arg(p.level, 0, 'f', 4)
                   .arg(p.raw, 0, 'f', 3);
    return out;
}

std::optional<Trace> fromCsv(const QString& text, QString* description) {
    Trace trace;
    bool header = false;
    for (const QString& raw : text.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.isEmpty()) continue;
        if (line.startsWith(QLatin1Char('#'))) {
            if (description) *description = line.mid(1).trimmed();
            continue;
        }
        if (line.startsWith(QLatin1String("frequency_hz"))) {
            header = true;
            continue;
        }
        const QStringList f = line.split(QLatin1Char(','));
        bool ok1 = false, ok2 = false, ok3 = true;
        Point p;
        p.hz = f.value(0).toDouble(&ok1);
        p.level = f.value(1).toDouble(&ok2);
        if (f.size() > 2) p.raw = f[2].toDouble(&ok3);
        if (!header || f.size() < 2 || !ok1 || !ok2 || !ok3 || !std::isfinite(p.hz) ||
            !std::isfinite(p.level))
            return std::nullopt;
        trace.push_back(p);
    }
    if (!header || trace.empty()) return std::nullopt;
    return trace;
}

} // namespace kalimor::analyser
