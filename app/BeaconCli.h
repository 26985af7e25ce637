#pragma once

namespace kalimor {

struct Options;

// `kalimor --beacon ...`: the beacon without a window, for a Pi with no
// screen and the user service. One line per frame on stdout (UTC time, dial,
// carrier, message), every trouble on stderr; exits 0 after --once or a
// stop by signal, 1 when the beacon could not start or a load failed.
int runBeacon(const Options& options);

} // namespace kalimor
