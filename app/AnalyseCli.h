#pragma once

#include <QString>

namespace kalimor {

struct Options;

// `kalimor --analyse START:STOP:POINTS` and `kalimor --crystal R0`: the
// analyser's logic without its window, for scripts and a Pi with no screen.
// Prints the markers (or the crystal's values) as "name: value unit" lines;
// exits 0, 1 with the cause on stderr, or 2 (nothing loaded) for a range
// the board cannot make at the reference clock in the settings.
int runAnalyse(const Options& options);

// Writes an export: "-" is standard output, which then holds that file
// alone; anything else goes through replaceFile. A failure is said on stderr.
bool writeExport(const QString& path, const QString& text);
// Tunes the board to one point of a headless analyser run, as the analyser.
void loadAnalyserPoint(double hz);

} // namespace kalimor
