#pragma once

#include "analyser/Analysis.h"

#include <functional>
#include <optional>

namespace kalimor::analyser {

// A quartz crystal's Butterworth-Van Dyke model: the motional arm Rm, Lm, Cm
// in series, the holder's C0 across it.
struct CrystalModel {
    double rm = 0, lm = 0, cm = 0, c0 = 0;
    // |S21| in dB of the crystal in series between a source and a load of
    // `r0` ohms each.
    double s21Db(double hz, double r0) const;
    double seriesHz() const;
    double parallelHz() const; // where the motional arm resonates with C0
};

// What a crystal measurement gives.
struct Motional {
    double fs = 0, fp = 0; // series and parallel resonance, Hz
    double ilDb = 0;       // insertion loss at fs, dB (positive)
    double bwHz = 0;       // -3 dB bandwidth around fs
    double rm = 0, lm = 0, cm = 0, c0 = 0, q = 0;
};

// The motional values from fs, fp, the loss at fs and the -3 dB bandwidth,
// in a fixture of `r0` ohms each side:
// Rm = 2 R0 (10^(IL/20) - 1), Lm = (Rm + 2 R0) / (2 pi BW),
// Cm = 1 / ((2 pi fs)^2 Lm), C0 = Cm fs^2 / (fp^2 - fs^2), Q = 2 pi fs Lm / Rm.
Motional motionalFrom(double fs, double fp, double ilDb, double bwHz, double r0);

// Measures a crystal through `sweep` (which returns levels relative to the
// through at the frequencies it is given): a coarse sweep from `fromHz` to
// `toHz` finds fs (the peak) and fp (the notch just above it), then fine
// sweeps around each. Nothing, with the reason, when no resonance is found.
using SweepFn = std::function<Trace(const std::vector<double>& frequencies)>;
std::optional<Motional> measureCrystal(const SweepFn& sweep, double fromHz, double toHz, double r0,
                                       QString* why);

// The simulated devices' crystal: a 10.000000 MHz fundamental (Rm 20 ohm,
// Lm 10 mH, Cm 25.3303 fF, C0 5 pF), in a 12.5 ohm fixture.
CrystalModel crystalFixture();
inline constexpr double crystalFixtureR0 = 12.5;

} // namespace kalimor::analyser
