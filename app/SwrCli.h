#pragma once

namespace kalimor {

struct Options;

// `kalimor --swr START:STOP:POINTS`: the antenna analyser without a window.
// With --calibrate it measures the standard on the bridge and keeps it;
// without, it prints the resonance, its SWR and the SWR 1.5, 2 and 3
// bandwidths as "name: value unit" lines. Exits 0, or 1 with the cause on
// stderr (no calibration for the range included: no numbers without one).
int runSwr(const Options& options);

} // namespace kalimor
