#pragma once

#include "analyser/Analysis.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace kalimor {

class CSetting;

// What the analyser keeps between runs, shared by its window and the
// command line: the detector (its kind and each kind's two numbers), the
// simulated device last chosen, and the last through recorded (a CSV file
// beside the settings, so that `kalimor --analyse` reads levels against it).
namespace analyser_settings {

analyser::Detector detector(CSetting& store);
analyser::Detector detector(CSetting& store, analyser::Detector::Kind kind);
// Raises the store's error when it cannot save.
void saveDetector(CSetting& store, const analyser::Detector& d);

analyser::SimulatedDevice::Kind simulatedDevice(CSetting& store);
void saveSimulatedDevice(CSetting& store, analyser::SimulatedDevice::Kind kind);

// A sweep's settings and the detector's calibration under a name of the user's.
struct Preset {
    int range = 0;       // 0 start and stop, 1 centre and span
    double a = 0, b = 0; // MHz: start (or centre) and stop (or span)
    int points = 0;
    bool log = false;
    int settleMs = 0, samples = 0;
    int detector = 0; // 0 log, 1 diode
    double slope = 0, intercept = 0;
};
QStringList presetNames(CSetting& store);
// Nothing when there is no whole preset of that name.
std::optional<Preset> preset(CSetting& store, const QString& name);
// Raises the store's error when it cannot save.
void savePreset(CSetting& store, const QString& name, const Preset& p);

QString throughFile();
std::optional<analyser::Trace> through();
// Why it could not be kept, or nothing.
std::optional<QString> saveThrough(const analyser::Trace& trace);

} // namespace analyser_settings

} // namespace kalimor
