#include "Globals.h"

#include "config/CSetting.h"

namespace kalimor::Globals {

std::unique_ptr<CSetting> Settings;
double RefClkHz = 0;
std::int16_t PortAddress = 0;
std::int16_t OptionCWS = 0;
double FreqHz = 0;
double FreqMult = 0;
double ScrollScale = 0;
double MaxFreqHz = 0;
QString FreqFormat;
QString FreqUnit;
std::int16_t PhaseStep = 0;
std::int16_t PowerDown = 0;

void reset() {
    Settings.reset();
    RefClkHz = FreqHz = FreqMult = ScrollScale = MaxFreqHz = 0;
    PortAddress = OptionCWS = PhaseStep = PowerDown = 0;
    FreqFormat.clear();
    FreqUnit.clear();
}

} // namespace kalimor::Globals
