#include "Calibration.h"

#include <QLocale>

#include <cmath>

namespace kalimor {

QString producedReadout(std::int32_t word, double refClkHz, double requestedHz) {
    const QLocale locale;
    const double produced = producedHz(word, refClkHz);
    double difference = std::round((produced - requestedHz) * 1000) / 1000;
    if (difference == 0) difference = 0; // no "-0.000"
    const QString sign = difference < 0 ? QString() : QStringLiteral("+");
    return QStringLiteral("%1 Hz (%2%3 Hz)")
        .arg(locale.toString(produced, 'f', 3), sign, locale.toString(difference, 'f', 3));
}

} // namespace kalimor
