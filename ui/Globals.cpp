#include "Globals.h"

#include "core/Calibration.h"
#include "core/Error.h"
#include "settings/CSetting.h"

namespace kalimor::Globals {

std::unique_ptr<CSetting> Settings;
double RefClkHz = 0;
double RefClkPPM = 0;
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
int ClockFactor = 1;
QString TraceFile;
bool PortFromCommandLine = false;

CSetting& settings() {
    if (!Settings) {
        Settings = std::make_unique<CSetting>();
        Settings->Init();
    }
    return *Settings;
}

QString storedText(const QString& section, const QString& key, const QString& fallback) {
    try {
        return settings().GetSettingStr(section, key, fallback);
    } catch (const Error&) {
        return fallback;
    }
}

const MultiplierRow* multiplierRow(int index) {
    static const MultiplierRow rows[] = {
        {"MHz", 1'000'000, 1000, 30'000'000, "0.000", "MHz", 1000},
        {"KHz", 1'000, 100, 300'000, "0.00", "KHz", 100},
        {"Hz", 1, 10, 3'000, "0.0", "Hz", 10},
    };
    return index >= 0 && index < 3 ? &rows[index] : nullptr;
}

void applyMultiplier(const MultiplierRow& row) {
    FreqMult = row.freqMult;
    ScrollScale = row.scrollScale;
    MaxFreqHz = row.maxFreqHz;
    FreqFormat = QString::fromLatin1(row.format);
    FreqUnit = QString::fromLatin1(row.unit);
}

double referenceClockHz(double nominalMHz) {
    return calibratedClockHz(nominalMHz * 1'000'000.0 * ClockFactor, RefClkPPM);
}

double nominalClockMHz() {
    return RefClkHz / (1 + RefClkPPM / 1e6) / 1'000'000.0 / ClockFactor;
}

void reset() {
    Settings.reset();
    RefClkPPM = 0;
    RefClkHz = FreqHz = FreqMult = ScrollScale = MaxFreqHz = 0;
    PortAddress = OptionCWS = PhaseStep = PowerDown = 0;
    ClockFactor = 1;
    FreqFormat.clear();
    FreqUnit.clear();
}

} // namespace kalimor::Globals
