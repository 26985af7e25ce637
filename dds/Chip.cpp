#include "Chip.h"

namespace kalimor::dds {

QString ChipProfile::name() const {
    if (chip == Chip::AD9850) return QStringLiteral("AD9850");
    return multiplier ? QStringLiteral("AD9851, 6x clock") : QStringLiteral("AD9851");
}

QString ChipProfile::text() const {
    if (chip == Chip::AD9850) return QStringLiteral("AD9850");
    return multiplier ? QStringLiteral("AD9851x6") : QStringLiteral("AD9851");
}

std::optional<ChipProfile> ChipProfile::fromText(const QString& text) {
    const QString t = text.trimmed().toUpper();
    if (t == QLatin1String("AD9850")) return ChipProfile{Chip::AD9850, false};
    if (t == QLatin1String("AD9851")) return ChipProfile{Chip::AD9851, false};
    if (t == QLatin1String("AD9851X6")) return ChipProfile{Chip::AD9851, true};
    return std::nullopt;
}

} // namespace kalimor::dds
