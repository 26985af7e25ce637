#pragma once

namespace kalimor {

// Every signal whose default action ends the program ends it with the
// output powered down while a keyed controller (a beacon, the keyer, PTT
// keying) holds the board; otherwise the board is left as it is. The
// handler only writes the signal's number to a pipe: a thread of the guard's
// own asks the board thread for the power-down word, then ends the program
// by the signal's default action, so a parent sees the signal as before.
// SIGPIPE is ignored: a write to a closed pipe fails with EPIPE instead, and
// the writer decides (the beacon on the command line stops, keyed down).
void guardCarrier();

} // namespace kalimor
