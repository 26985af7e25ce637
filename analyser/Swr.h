#pragma once

#include "analyser/Analysis.h"

#include <QString>

#include <complex>
#include <cstdint>
#include <optional>
#include <random>
#include <utility>
#include <vector>

// The antenna analyser: a return-loss bridge between the generator and the
// antenna, a detector on the bridge's reflected port. One scalar detector
// knows |Gamma| and nothing else, so nothing here claims R or X.
namespace kalimor::analyser::swr {

inline constexpr double Z0 = 50;
// A match better than any detector can see reads this return loss, not infinity.
inline constexpr double MaxReturnLossDb = 100;

double gammaOf(std::complex<double> z, double z0 = Z0);
// -20 log10 |Gamma|, at most MaxReturnLossDb.
double returnLossDb(double gamma);
// (1 + |Gamma|) / (1 - |Gamma|); infinite for total reflection.
double swrOf(double gamma);

// A device on the bridge's port, as `--sim-dut` names it: open, short, load
// (50 ohm) or antenna:R:L:C, a series R-L-C in ohm, henry and farad (L 0 for
// no inductance, a very large C for no capacitance).
struct Dut {
    enum class Kind { Open, Short, Load, Antenna };
    Kind kind = Kind::Load;
    double r = Z0, l = 0, c = 1;
    std::complex<double> impedance(double hz) const; // the antenna's only
    double gamma(double hz) const;
    QString text() const; // the command-line form, which parseDut reads back
    // Where the SWR is least: the series resonance (none without L and C).
    std::optional<double> resonanceHz() const;
};
std::optional<Dut> parseDut(const QString& text, QString* why);

// The simulated board's bridge and detectors. The reflected port sees the
// source less the bridge's loss and the load's return loss; the forward port
// the source less the coupler's loss. Readings are ADC steps through
// `detector`, with seeded noise that averaging reduces. A diode detector is
// a real one: square law below its knee, and an offset with no signal.
class SimulatedBridge {
public:
    SimulatedBridge(Dut dut, Detector detector, std::uint32_t seed = 1);
    double reflectedSteps(double hz, int samples); // A0
    double forwardSteps(double hz, int samples);   // A1
    // The generator's output powered down: the detectors read their offsets.
    void setPowered(bool on) { m_powered = on; }
    const Dut& dut() const { return m_dut; }
    static constexpr double DiodeKneeMv = 150, DiodeOffsetMv = 15;
    static constexpr double SourceDbm = 10;
    static constexpr double BridgeLossDb = 6;
    static constexpr double NoiseDb = 0.01;

private:
    double steps(double dbm, int samples);
    Dut m_dut;
    Detector m_detector;
    std::mt19937 m_random;
    bool m_powered = true;
};

// One point of an SWR sweep.
struct SwrPoint {
    double hz = 0;
    double gamma = 0;
    double returnLossDb() const { return swr::returnLossDb(gamma); }
    double swr() const { return swrOf(gamma); }
};
using SwrTrace = std::vector<SwrPoint>;

// The calibration standards.
enum class Standard { Open, Short, Load };
QString standardName(Standard s);
std::optional<Standard> parseStandard(const QString& text);

// What the detector read at each point of one range with each standard on
// the bridge. Open and short are total reflection (both, when measured, are
// averaged in power, which cancels much of the bridge's own mismatch); the
// load is the leak through the bridge (its directivity), taken off in power:
// right on average over the leak's phase, which a scalar detector cannot see.
class Calibration {
public:
    // Levels in dBm at the trace's frequencies. A trace over another range
    // than the one kept starts a new calibration.
    void record(Standard s, const Trace& levels);
    bool has(Standard s) const;
    // Open or short over exactly these frequencies.
    bool covers(const std::vector<double>& frequencies) const;
    // Why it does not cover them, for the user.
    QString notCovering() const;
    // |Gamma| at each point of a reflected-port trace; nothing, with the
    // reason, when no open or short was measured over the trace's range.
    std::optional<SwrTrace> apply(const Trace& levels, QString* why) const;
    QString describe() const;
    const std::vector<double>& frequencies() const { return m_hz; }

    // A CSV of the levels per standard, and back; nothing when the text is
    // not such a file.
    QString toText() const;
    static std::optional<Calibration> fromText(const QString& text);

private:
    std::vector<double> m_hz;
    std::vector<double> m_levels[3]; // per Standard; empty when not measured
};

// Where the SWR stays within one level: its two edges, each interpolated
// between the points around it; absent where the curve does not cross.
struct Band {
    double swr = 0;
    std::optional<double> lowHz, highHz;
    bool crosses() const { return lowHz && highHz; }
    double widthHz() const { return crosses() ? *highHz - *lowHz : 0; }
};

struct Summary {
    // The least SWR, from a parabola through the reflected power at the
    // least point and its neighbours: reflected power is quadratic in
    // frequency around a resonance, so the vertex lands between points.
    double resonanceHz = 0;
    double gamma = 1;
    double swr() const { return swrOf(gamma); }
    std::vector<Band> bands;
};
inline const std::vector<double> StandardLevels = {1.5, 2, 3};
Summary summarise(const SwrTrace& trace, const std::vector<double>& levels = StandardLevels);

// "frequency_hz,return_loss_db,swr", a comment line first.
QString toCsv(const SwrTrace& trace, const QString& description);

// The amateur bands, 160 m to 6 m, for one-click ranges.
struct HamBand {
    const char* name;
    double lowHz, highHz;
};
const std::vector<HamBand>& hamBands();
// A band's sweep: the band and a quarter of its width (at least 50 kHz) on
// either side, so a resonance just outside it still shows.
std::pair<double, double> bandSweep(double lowHz, double highHz);

// Two detectors as the common Arduino design has them: forward on A1,
// reflected on A0. |Gamma| is reflected over forward once the offsets read
// with the output powered down are taken off, then through the
// linearisation table, which maps that ratio to the |Gamma| of known loads
// (diode detectors read low levels low: 25 and 100 ohm come out near SWR 1.3
// without it).
struct DetectorPair {
    double forwardOffset = 0, reflectedOffset = 0;        // ADC steps
    std::vector<std::pair<double, double>> linearisation; // ratio -> |Gamma|, rising
    std::optional<double> gamma(double forwardSteps, double reflectedSteps) const;
    // A known load's |Gamma| against what the pair read for it; replaces a
    // point at the same ratio.
    void addKnownLoad(double ratio, double trueGamma);
};

} // namespace kalimor::analyser::swr
