#include "Analysis.h"

#include "analyser/Crystal.h"

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

std::optional<double> levelAt(const Trace& trace, double hz) {
    if (trace.empty() || hz < trace.front().hz || hz > trace.back().hz) return std::nullopt;
    const auto after = std::lower_bound(trace.begin(), trace.end(), hz,
                                        [](const Point& p, double f) { return p.hz < f; });
    if (after == trace.begin() || after->hz == hz) return after->level;
    const Point& a = *(after - 1);
    return a.level + (after->level - a.level) * (hz - a.hz) / (after->hz - a.hz);
}

std::optional<Trace> normalise(const Trace& measured, const Trace& through, QString* why) {
    if (measured.empty()) return measured;
    // A through on the same grid covers it exactly; a hair of rounding is
    // not a gap.
    const double slack = 1e-6 * measured.back().hz;
    if (through.empty() || through.front().hz > measured.front().hz + slack ||
        through.back().hz < measured.back().hz - slack) {
        *why = through.empty()
                   ? QStringLiteral("No through is recorded")
                   : QStringLiteral("The through covers %1 to %2 MHz, the run %3 to %4 MHz: "
                                    "record a through over the run's range")
                         .arg(through.front().hz / 1e6, 0, 'f', 6)
                         .arg(through.back().hz / 1e6, 0, 'f', 6)
                         .arg(measured.front().hz / 1e6, 0, 'f', 6)
                         .arg(measured.back().hz / 1e6, 0, 'f', 6);
        return std::nullopt;
    }
    Trace out = measured;
    for (Point& p : out) {
        const double hz = std::clamp(p.hz, through.front().hz, through.back().hz);
        p.level -= *levelAt(through, hz);
    }
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

QString shapeName(Shape shape) {
    switch (shape) {
    case Shape::Auto:
        return QStringLiteral("Found from the trace");
    case Shape::BandPass:
        return QStringLiteral("Band-pass");
    case Shape::LowPass:
        return QStringLiteral("Low-pass");
    case Shape::HighPass:
        return QStringLiteral("High-pass");
    case Shape::Notch:
        return QStringLiteral("Notch");
    case Shape::Flat:
        return QStringLiteral("Flat");
    }
    return {};
}

Shape findShape(const Trace& trace) {
    if (trace.size() < 3) return Shape::Flat;
    auto byLevel = [](const Point& a, const Point& b) { return a.level < b.level; };
    const auto top = std::max_element(trace.begin(), trace.end(), byLevel);
    const auto bottom = std::min_element(trace.begin(), trace.end(), byLevel);
    const double first = trace.front().level, last = trace.back().level, peak = top->level;
    const bool firstHigh = first > peak - 3, lastHigh = last > peak - 3;
    if (firstHigh && lastHigh)
        return bottom->level < std::min(first, last) - 3 ? Shape::Notch : Shape::Flat;
    if (firstHigh) return Shape::LowPass;
    if (lastHigh) return Shape::HighPass;
    return Shape::BandPass;
}

ShapeMarkers shapeMarkers(const Trace& trace, Shape shape) {
    ShapeMarkers m;
    if (trace.empty()) return m;
    m.shape = shape == Shape::Auto ? findShape(trace) : shape;
    const Markers peak = findMarkers(trace);
    m.peak = peak.peak;
    switch (m.shape) {
    case Shape::BandPass:
        m.lowHz = peak.lowHz;
        m.highHz = peak.highHz;
        break;
    case Shape::LowPass:
        m.cornerHz = peak.highHz;
        break;
    case Shape::HighPass:
        m.cornerHz = peak.lowHz;
        break;
    case Shape::Notch: {
        const auto deepest =
            std::min_element(trace.begin(), trace.end(),
                             [](const Point& a, const Point& b) { return a.level < b.level; });
        m.notch = *deepest;
        // The pass band beside the notch: the higher of its two ends.
        const double reference = std::max(trace.front().level, trace.back().level);
        m.depthDb = reference - deepest->level;
        const double level = reference - 3;
        for (auto it = deepest; it != trace.begin(); --it)
            if ((it - 1)->level >= level) {
                m.lowHz = crossing(*(it - 1), *it, level);
                break;
            }
        for (auto it = deepest; it + 1 != trace.end(); ++it)
            if ((it + 1)->level >= level) {
                m.highHz = crossing(*it, *(it + 1), level);
                break;
            }
        break;
    }
    case Shape::Auto:
    case Shape::Flat:
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
    case Kind::HighPass:
        // A 5th-order Butterworth high-pass with its corner at 3 MHz.
        return -10 * std::log10(1 + std::pow(3e6 / f, 10));
    case Kind::Crystal:
        return crystalFixture().s21Db(f, crystalFixtureR0);
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
    case Kind::HighPass:
        return QStringLiteral("LC high-pass, 3 MHz");
    case Kind::Crystal:
        return QStringLiteral("Crystal, 10 MHz, in a 12.5 ohm fixture");
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

std::optional<Trace> readCsv(const QString& text, double highestHz, QString* description,
                             QString* why) {
    auto trace = fromCsv(text, description);
    if (!trace) {
        *why = QStringLiteral("not a trace Kalimor exported");
        return std::nullopt;
    }
    // Where each point stands in the file, for the message.
    std::vector<int> lines;
    int number = 0;
    for (const QString& raw : text.split(QLatin1Char('\n'))) {
        ++number;
        const QString line = raw.trimmed();
        if (!line.isEmpty() && !line.startsWith(QLatin1Char('#')) &&
            !line.startsWith(QLatin1String("frequency_hz")))
            lines.push_back(number);
    }
    for (size_t i = 0; i < trace->size(); ++i) {
        const double hz = (*trace)[i].hz;
        if (hz < 0 || hz > highestHz) {
            *why =
                QStringLiteral("line %1: %2 Hz is outside 0 to %3 Hz, the chip's Nyquist frequency")
                    .arg(lines[i])
                    .arg(hz, 0, 'g', 12)
                    .arg(highestHz, 0, 'f', 0);
            return std::nullopt;
        }
        if (i > 0 && hz <= (*trace)[i - 1].hz) {
            *why = QStringLiteral("line %1: %2 Hz %3 %4 Hz; the frequencies must rise")
                       .arg(lines[i])
                       .arg(hz, 0, 'f', 3)
                       .arg(hz == (*trace)[i - 1].hz ? QStringLiteral("repeats")
                                                     : QStringLiteral("comes after"))
                       .arg((*trace)[i - 1].hz, 0, 'f', 3);
            return std::nullopt;
        }
    }
    return trace;
}

QString toTouchstone(const Trace& relative, const QString& description) {
    QString out =
        QStringLiteral("! Kalimor scalar network analyser: %1\n"
                       "! S21 is the measured level relative to the through, in dB. A scalar\n"
                       "! analyser measures no phase and no reflection: S11, S12, S22 and every\n"
                       "! angle are not measured and are written as -200 dB and 0 degrees.\n"
                       "# HZ S DB R 50\n")
            .arg(description);
    for (const Point& p : relative)
        out += QStringLiteral("%1 -200 0 %2 0 -200 0 -200 0\n")
                   .arg(p.hz, 0, 'f', 3)
                   .arg(p.level, 0, 'f', 4);
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
