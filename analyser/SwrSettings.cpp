#include "SwrSettings.h"

#include "core/Error.h"
#include "settings/CSetting.h"
#include "settings/SafeFile.h"

#include <QFile>
#include <QStandardPaths>

#include <cmath>

namespace kalimor::swr_settings {

namespace {
const QString BandSection = QStringLiteral("SWR bands");
} // namespace

QString calibrationFile() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/kalimor-swr-calibration.csv");
}

analyser::swr::Calibration calibration() {
    QFile f(calibrationFile());
    if (!f.open(QIODevice::ReadOnly)) return {};
    return analyser::swr::Calibration::fromText(QString::fromUtf8(f.readAll()))
        .value_or(analyser::swr::Calibration{});
}

std::optional<QString> saveCalibration(const analyser::swr::Calibration& c) {
    QString why;
    const auto path = prepareSave(calibrationFile(), &why);
    if (!path) return why;
    return replaceFile(*path, c.toText().toUtf8());
}

std::vector<UserBand> userBands(CSetting& store) {
    std::vector<UserBand> out;
    try {
        if (const auto table = store.GetSettingAll(BandSection))
            for (const auto& row : *table) {
                bool ok1 = false, ok2 = false;
                UserBand b{row[0], row[1].section(QLatin1Char(':'), 0, 0).toDouble(&ok1),
                           row[1].section(QLatin1Char(':'), 1, 1).toDouble(&ok2)};
                if (ok1 && ok2 && b.lowHz > 0 && b.highHz > b.lowHz) out.push_back(b);
            }
    } catch (const Error&) {
        // A store that cannot be read has no bands to offer.
    }
    return out;
}

void saveUserBand(CSetting& store, const UserBand& band) {
    store.SaveSettingStr(
        BandSection, band.name,
        QStringLiteral("%1:%2").arg(band.lowHz, 0, 'f', 0).arg(band.highHz, 0, 'f', 0));
}

} // namespace kalimor::swr_settings
