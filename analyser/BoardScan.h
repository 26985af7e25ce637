#pragma once

#include "analyser/SweepRunner.h"

#include <cstdint>

namespace kalimor::analyser {

// The runner's scan through the board: equally spaced points become a start
// word and a step word, scanned by the board itself where its port can (the
// bridge); log spacing, a step the words cannot hold to within one word, or
// a port without a scan leave the runner going point by point. Loads go as
// the analyser's, which must hold the board.
SweepRunner::ScanFn boardScan(double refClkHz, std::int16_t phase);

} // namespace kalimor::analyser
