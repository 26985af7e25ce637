#pragma once

#include "analyser/Swr.h"

#include <QString>

#include <optional>
#include <vector>

namespace kalimor {

class CSetting;

// What the antenna analyser keeps between runs, shared by its tab and
// `kalimor --swr`: the calibration (a CSV beside the settings, one range at a
// time), the two-detector pair's offsets and linearisation, and the user's
// own bands.
namespace swr_settings {

QString calibrationFile();
// The kept calibration; an empty one when there is none or the file is not one.
analyser::swr::Calibration calibration();
// Why it could not be kept, or nothing.
std::optional<QString> saveCalibration(const analyser::swr::Calibration& c);

// The pair as last calibrated; an empty one when none is kept. A kept table
// that is damaged (not numbers, a ratio not rising, |Gamma| outside 0..1) is
// not used: an empty pair, and `why` says what is wrong with it.
analyser::swr::DetectorPair detectorPair(CSetting& store, QString* why);
// Raises the store's error when it cannot save.
void saveDetectorPair(CSetting& store, const analyser::swr::DetectorPair& pair);

struct UserBand {
    QString name;
    double lowHz = 0, highHz = 0;
};
std::vector<UserBand> userBands(CSetting& store);
// Raises the store's error when it cannot save.
void saveUserBand(CSetting& store, const UserBand& band);

} // namespace swr_settings

} // namespace kalimor
