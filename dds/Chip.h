#pragma once

#include <QString>

#include <optional>

namespace kalimor::dds {

// An AD9851 runs at 180 MHz at most: 30 MHz times its multiplier.
inline constexpr int MaxCrystalWithMultiplierMHz = 30;

// The chip on the board. The AD9851 has a 6x reference-clock multiplier,
// switched on by W32 in the control byte; the AD9850 has none (W32 and W33
// stay 0 on both).
struct ChipProfile {
    enum class Chip { AD9850, AD9851 };
    Chip chip = Chip::AD9850;
    bool multiplier = false;
    // Clock multiplier in effect: the reference clock is the crystal times this.
    int clockFactor() const { return chip == Chip::AD9851 && multiplier ? 6 : 1; }
    QString name() const;
    // Settings and command-line forms: "AD9850", "AD9851", "AD9851x6".
    static std::optional<ChipProfile> fromText(const QString& text);
    QString text() const;
    bool operator==(const ChipProfile&) const = default;
};

} // namespace kalimor::dds
