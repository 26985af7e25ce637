#pragma once

#include <QString>

#include <cstdint>

namespace kalimor {

// A reference oscillator is off by some parts per million; these relate the
// nominal clock, the correction and what the chip really produces.
inline constexpr double MaxCalibrationPpm = 1000;

// The clock the tuning words are computed from: nominal x (1 + ppm / 10^6).
inline double calibratedClockHz(double nominalHz, double ppm) {
    return nominalHz * (1 + ppm / 1e6);
}

// The correction that makes `trueClockHz` out of `nominalHz`.
inline double ppmBetween(double trueClockHz, double nominalHz) {
    return (trueClockHz / nominalHz - 1) * 1e6;
}

// The true clock, from a counter's reading of the output produced by `word`.
inline double clockFromMeasurement(double measuredHz, std::int32_t word) {
    return measuredHz * 4294967296.0 / static_cast<double>(static_cast<std::uint32_t>(word));
}

// What the chip puts out for a tuning word.
inline double producedHz(std::int32_t word, double refClkHz) {
    return static_cast<double>(static_cast<std::uint32_t>(word)) * refClkHz / 4294967296.0;
}

// "999.998 Hz (-0.002 Hz)": the produced frequency and its distance from the
// request, to the millihertz, in the locale's digits.
QString producedReadout(std::int32_t word, double refClkHz, double requestedHz);

} // namespace kalimor
