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
extern double RefClkHz;                    // DDS reference clock, Hz, calibration included
extern double RefClkPPM;                   // calibration of the reference clock, ppm
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
extern int ClockFactor;          // reference clock per crystal: 6 on an AD9851 with its multiplier
extern QString TraceFile;        // --trace FILE: every port opened is traced there
extern bool PortFromCommandLine; // --port or --simulate: the settings' port is not used

// The settings store, created and initialised on first use.
CSetting& settings();
// A stored text, or `fallback` when it is missing or the store cannot be
// read (a damaged store is reported where the program starts).
QString storedText(const QString& section, const QString& key, const QString& fallback);

// One row per unit button: 0 "MHz", 1 "KHz", 2 "Hz". The frequency scroll
// bars always run 0..30000, so MaxFreqHz = 30000 / ScrollScale * FreqMult.
struct MultiplierRow {
    const char* caption;
    double freqMult;
    double scrollScale;
    double maxFreqHz;
    const char* format;
    const char* unit;
    int largeChange;
};
// Null outside 0..2.
const MultiplierRow* multiplierRow(int index);
// Sets FreqMult, ScrollScale, MaxFreqHz, FreqFormat and FreqUnit from a row.
void applyMultiplier(const MultiplierRow& row);

// RefClkHz for a nominal clock (the crystal) in whole MHz, with the chip's
// multiplier and the current calibration.
double referenceClockHz(double nominalMHz);
// The nominal clock (the crystal) in MHz behind the current RefClkHz.
double nominalClockMHz();

// Back to the zeroed start state (tests run several windows in one process).
void reset();
} // namespace Globals

} // namespace kalimor
