#pragma once

#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <vector>

namespace kalimor::analyser {

// The frequencies of a sweep: `points` (2..10,001) from `startHz` to
// `stopHz`, equally spaced or in equal ratios (log). The end points are
// exactly the limits.
std::vector<double> sweepFrequencies(double startHz, double stopHz, int points, bool logSpacing);

// What turns a detector's voltage into a level.
struct Detector {
    enum class Kind { Log, Diode };
    Kind kind = Kind::Log;
    // Log detector (AD8307): mV = slope x (dBm - intercept).
    double slopeMvPerDb = 25;
    double interceptDbm = -84;
    // Linear diode detector: dBm = diodeA x log10(mV) + diodeB (20 and
    // -50 for a square-root law around 1 V at +10 dBm).
    double diodeA = 20, diodeB = -50;
    static constexpr double AdcFullScaleMv = 5000; // the bridge's AVcc
    static constexpr double AdcSteps = 1023;

    double dbm(double millivolts) const;
    double millivolts(double dbm) const;
    static double adcToMv(double steps) { return steps * AdcFullScaleMv / AdcSteps; }
    // Two known levels and what the detector read at each set both of its
    // parameters; false when the readings cannot tell them apart.
    bool calibrate(double mv1, double dbm1, double mv2, double dbm2);
    QString describe() const;
};

struct Point {
    double hz = 0;
    double level = 0; // dBm, or dB against the through trace
    double raw = 0;   // the detector reading, ADC steps
};
using Trace = std::vector<Point>;
// A trace handed between the runner, the tabs and the plot without a copy: a
// million points are 24 MB.
using SharedTrace = std::shared_ptr<const Trace>;

// The level of a trace at `hz`, interpolated between its points; nothing
// outside the trace.
std::optional<double> levelAt(const Trace& trace, double hz);

// The device's response against a "through" trace taken with it bypassed:
// level differences in dB at each measured frequency, the through
// interpolated between its own points (it may have another grid). Nothing,
// with the reason, when the through does not cover the measured range; the
// measured points are never cut to the through's.
std::optional<Trace> normalise(const Trace& measured, const Trace& through, QString* why);

// What the markers read off a trace.
struct Markers {
    Point peak;
    // The -3 dB points below and above the peak, interpolated between
    // points; absent where the trace does not fall that far.
    std::optional<double> lowHz, highHz;
    double bandwidthHz() const { return lowHz && highHz ? *highHz - *lowHz : 0; }
    double centreHz() const { return lowHz && highHz ? (*lowHz + *highHz) / 2 : peak.hz; }
    double q() const { return bandwidthHz() > 0 ? centreHz() / bandwidthHz() : 0; }
};
Markers findMarkers(const Trace& trace, double downDb = 3);

// The shape of a response, which decides what its markers read.
enum class Shape { Auto, BandPass, LowPass, HighPass, Notch, Flat };
QString shapeName(Shape shape);
// Band-pass: the peak inside and both ends 3 dB below it; low-pass: the top
// at the start and the end 3 dB below; high-pass the mirror; notch: a dip
// inside at least 3 dB below both ends; else flat.
Shape findShape(const Trace& trace);

// The markers every shape needs. The reference level is the peak (band-,
// low- and high-pass) or the pass band beside the notch (the higher end).
struct ShapeMarkers {
    Shape shape = Shape::Flat;
    Point peak;
    std::optional<double> lowHz, highHz; // band-pass and notch: the -3 dB points
    std::optional<double> cornerHz;      // low- and high-pass: the -3 dB frequency
    Point notch;                         // notch: its deepest point
    double depthDb = 0;                  // notch: the pass band less the notch
    double bandwidthHz() const { return lowHz && highHz ? *highHz - *lowHz : 0; }
    double centreHz() const { return lowHz && highHz ? (*lowHz + *highHz) / 2 : peak.hz; }
    double q() const { return bandwidthHz() > 0 ? centreHz() / bandwidthHz() : 0; }
};
ShapeMarkers shapeMarkers(const Trace& trace, Shape shape = Shape::Auto);
// The width of the trace `downDb` below its peak (0 where it does not fall so far).
double widthAt(const Trace& trace, double downDb);

// Devices the simulated board can sweep, with a detector on its output.
struct SimulatedDevice {
    enum class Kind { Through, CrystalFilter, LowPass, Notch, HighPass, Crystal };
    Kind kind = Kind::CrystalFilter;
    // |H(f)| in dB.
    double responseDb(double hz) const;
    static QString name(Kind kind);
};

// The simulated board's detector: the generator's level through the device,
// into the detector, with seeded noise, read as ADC steps.
class SimulatedDetector {
public:
    SimulatedDetector(SimulatedDevice device, Detector detector, std::uint32_t seed = 1);
    double readSteps(double hz, int samples);
    static constexpr double SourceDbm = 0;
    static constexpr double NoiseDb = 0.05;

private:
    SimulatedDevice m_device;
    Detector m_detector;
    std::mt19937 m_random;
};

// CSV: a header naming the detector and what the levels are, then
// "frequency_hz,level,raw" per point. Reading gives back the points and the
// header's description; nothing when the file is not such a CSV.
QString toCsv(const Trace& trace, const QString& description);
std::optional<Trace> fromCsv(const QString& text, QString* description);
// The same over the file's bytes (UTF-8), in one pass: a million-point file
// is read without a copy of its text.
std::optional<Trace> fromCsv(QByteArrayView text, QString* description);
// The same with every point checked: frequencies rising, none twice, all
// between 0 and `highestHz` (the chip's Nyquist frequency); the reason names
// the line.
std::optional<Trace> readCsv(const QString& text, double highestHz, QString* description,
                             QString* why);
std::optional<Trace> readCsv(QByteArrayView text, double highestHz, QString* description,
                             QString* why);

// What a plot `columns` pixels wide between `fromHz` and `toHz` needs of a
// trace whose frequencies rise: in each column its lowest and its highest
// point, in their order, and the nearest point outside each edge, so that
// the line runs on past them. A plot of these is the plot of every point,
// drawn in time for any size. A trace of no more points than twice the
// columns comes back as it is.
Trace reduceForPlot(const Trace& trace, double fromHz, double toHz, int columns, bool logarithmic);

// A 2-port Touchstone 1.1 file (# HZ S DB R 50) of a trace relative to the
// through: S21 its level in dB; S11, S12, S22 and every angle are not
// measured by a scalar analyser and are written as -200 dB and 0 degrees,
// which its comment says.
QString toTouchstone(const Trace& relative, const QString& description);

} // namespace kalimor::analyser
