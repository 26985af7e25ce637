#pragma once

#include "analyser/Analysis.h"

#include <QString>

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

QString throughFile();
std::optional<analyser::Trace> through();
// Why it could not be kept, or nothing.
std::optional<QString> saveThrough(const analyser::Trace& trace);

} // namespace analyser_settings

} // namespace kalimor
