#pragma once

#include <QString>

namespace kalimor::dds {

// Asks real-time scheduling for the calling thread, the polite way audio
// programs do: SCHED_FIFO at a modest priority where the process may (root,
// CAP_SYS_NICE or an RLIMIT_RTPRIO limit), otherwise RealtimeKit over the
// system D-Bus, otherwise nothing. Returns what the thread got, in words.
QString makeThreadRealtime();

} // namespace kalimor::dds
