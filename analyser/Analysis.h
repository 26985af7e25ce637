#pragma once

#include <QString>

#include <cstdint>
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

// The device's response against a "through" trace taken with it bypassed:
// level differences in dB, point by point (the same frequencies).
Trace normalise(const Trace& measured, const Trace& through);

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
// The width of the trace `downDb` below its peak (0 where it does not fall so far).
double widthAt(const Trace& trace, double downDb);

// Devices the simulated board can sweep, with a detector on its output.
struct SimulatedDevice {
    enum class Kind { Through, CrystalFilter, LowPass, Notch };
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

} // namespace kalimor::analyser
