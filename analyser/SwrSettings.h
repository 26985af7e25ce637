#pragma once

#include "analyser/Swr.h"

#include <QString>

#include <optional>
#include <vector>

namespace kalimor {

class CSetting;

// What the antenna analyser keeps between runs, shared by its tab and
// `kalimor --swr`: the calibration (a CSV beside the settings, one range at a
// time) and the user's own bands.
namespace swr_settings {

QString calibrationFile();
// The kept calibration; an empty one when there is none or the file is not one.
analyser::swr::Calibration calibration();
// Why it could not be kept, or nothing.
std::optional<QString> saveCalibration(const analyser::swr::Calibration& c);

struct UserBand {
    QString name;
    double lowHz = 0, highHz = 0;
};
std::vector<UserBand> userBands(CSetting& store);
// Raises the store's error when it cannot save.
void saveUserBand(CSetting& store, const UserBand& band);

} // namespace swr_settings

} // namespace kalimor
