#pragma once

#include <QString>

#include <cstdint>
#include <memory>

namespace kalimor {

class CSetting;

// State shared by the windows for the whole run, read and written only on the
// user-interface thread. Created zeroed; InitFromSettings fills it.
namespace Globals {
extern std::unique_ptr<CSetting> Settings; // the one settings store
extern double RefClkHz;                    // DDS reference clock, Hz
extern std::int16_t PortAddress;           // I/O address of the port's data register
extern std::int16_t OptionCWS;             // nonzero: scroll bars act while dragged
extern double FreqHz;                      // current frequency, Hz; 0 after an out-of-range request
extern double FreqMult;                    // Hz per display unit
extern double ScrollScale;                 // frequency scroll steps per display unit
extern double MaxFreqHz;                   // upper frequency limit, Hz
extern QString FreqFormat;                 // number format of frequencies in display units
extern QString FreqUnit;                   // name of the display unit
extern std::int16_t PhaseStep;             // phase offset, 11.25-degree steps, 0..31
extern std::int16_t PowerDown;             // 1 after a failed or out-of-range send

// Back to the zeroed start state (tests run several windows in one process).
void reset();
} // namespace Globals

} // namespace kalimor
