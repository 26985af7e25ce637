#pragma once

namespace kalimor {

struct Options;

// --follow-audio: the follower without a window, with the network server
// when --rigctld is given (F sets the dial, T 1 / T 0 key it). A file ends
// the run at its end; the sound server's audio at Ctrl-C or systemd's stop.
int runFollow(const Options& options);

} // namespace kalimor
