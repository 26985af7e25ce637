#include "Analysis.h"

#include "analyser/Crystal.h"

#include <QStringList>

#include <charconv>
#include <string_view>

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

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

// A number as QString::toDouble reads one: blanks around it and a leading
// '+' allowed, nothing else beside it.
bool number(std::string_view s, double* value) {
    s = trimmed(s);
    if (s.size() > 1 && s.front() == '+' && s[1] != '-' && s[1] != '+') s.remove_prefix(1);
    if (s.empty()) return false;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), *value);
    return error == std::errc() && end == s.data() + s.size();
}

// The CSV's points in one pass over its lines, and where each stands in the
// file, for a message.
std::optional<Trace> parseCsv(QByteArrayView bytes, QString* description,
                              std::vector<int>* numbers) {
    const std::string_view text(bytes.data(), size_t(bytes.size()));
    Trace trace;
    // Room for every line at once: a million points are not copied as they come.
    trace.reserve(size_t(std::count(text.begin(), text.end(), '\n')) + 1);
    if (numbers) numbers->reserve(trace.capacity());
    bool header = false;
    int number_ = 0;
    for (size_t from = 0; from <= text.size();) {
        size_t end = text.find('\n', from);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = trimmed(text.substr(from, end - from));
        from = end + 1;
        ++number_;
        if (line.empty()) continue;
        if (line.front() == '#') {
            if (description)
                *description =
                    QString::fromUtf8(line.data() + 1, qsizetype(line.size() - 1)).trimmed();
            continue;
        }
        if (line.substr(0, 12) == "frequency_hz") {
            header = true;
            continue;
        }
        if (!header) return std::nullopt;
        const size_t c1 = line.find(',');
        if (c1 == std::string_view::npos) return std::nullopt;
        const size_t c2 = line.find(',', c1 + 1);
        Point p;
        if (!number(line.substr(0, c1), &p.hz) ||
            !number(line.substr(c1 + 1, c2 == std::string_view::npos ? c2 : c2 - c1 - 1),
                    &p.level) ||
            !std::isfinite(p.hz) || !std::isfinite(p.level))
            return std::nullopt;
        if (c2 != std::string_view::npos) {
            const size_t c3 = line.find(',', c2 + 1);
            if (!number(line.substr(c2 + 1, c3 == std::string_view::npos ? c3 : c3 - c2 - 1),
                        &p.raw))
                return std::nullopt;
        }
        trace.push_back(p);
        if (numbers) numbers->push_back(number_);
    }
    if (!header || trace.empty()) return std::nullopt;
    return trace;
}

} // namespace

std::optional<Trace> readCsv(const QString& text, double highestHz, QString* description,
                             QString* why) {
    return readCsv(QByteArrayView(text.toUtf8()), highestHz, description, why);
}

std::optional<Trace> readCsv(QByteArrayView text, double highestHz, QString* description,
                             QString* why) {
    std::vector<int> lines;
    auto trace = parseCsv(text, description, &lines);
    if (!trace) {
        *why = QStringLiteral("not a trace Kalimor exported");
        return std::nullopt;
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

Trace reduceForPlot(const Trace& trace, double fromHz, double toHz, int columns, bool logarithmic) {
    if (columns < 1 || trace.size() <= size_t(columns) * 2 || !(toHz > fromHz) ||
        (logarithmic && fromHz <= 0))
        return trace;
    const auto position = [&](double hz) {
        return logarithmic ? (hz > 0 ? std::log(hz / fromHz) / std::log(toHz / fromHz) : -1.0)
                           : (hz - fromHz) / (toHz - fromHz);
    };
    const auto byHz = [](const Point& p, double hz) { return p.hz < hz; };
    // The points inside, and one either side.
    auto first = std::lower_bound(trace.begin(), trace.end(), fromHz, byHz);
    auto last = std::upper_bound(first, trace.end(), toHz,
                                 [](double hz, const Point& p) { return hz < p.hz; });
    Trace out;
    out.reserve(size_t(columns) * 2 + 2);
    if (first != trace.begin()) out.push_back(*(first - 1));
    for (auto it = first; it != last;) {
        const int column = std::min(columns - 1, int(position(it->hz) * columns));
        auto low = it, high = it;
        for (++it; it != last && std::min(columns - 1, int(position(it->hz) * columns)) == column;
             ++it) {
            if (it->level < low->level) low = it;
            if (it->level > high->level) high = it;
        }
        out.push_back(*std::min(low, high));
        if (low != high) out.push_back(*std::max(low, high));
    }
    if (last != trace.end()) out.push_back(*last);
    return out;
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
    return parseCsv(QByteArrayView(text.toUtf8()), description, nullptr);
}

std::optional<Trace> fromCsv(QByteArrayView text, QString* description) {
    return parseCsv(text, description, nullptr);
}

} // namespace kalimor::analyser
