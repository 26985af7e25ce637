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
const QString PairSection = QStringLiteral("SWR detectors");

QString number(double x) {
    return QString::number(x, 'g', 17);
}

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

analyser::swr::DetectorPair detectorPair(CSetting& store, QString* why) {
    QString offsets, table;
    try {
        offsets = store.GetSettingStr(PairSection, QStringLiteral("Offsets"), QString());
        table = store.GetSettingStr(PairSection, QStringLiteral("Linearisation"), QString());
    } catch (const Error&) {
        return {}; // a store that cannot be read has none; start-up said why
    }
    if (offsets.isEmpty() && table.isEmpty()) return {};
    const auto damaged = [&](const QString& what) {
        if (why)
            *why = QStringLiteral("The stored two-detector calibration is damaged (%1) and "
                                  "is not used: read the offsets and the known loads again")
                       .arg(what);
        return analyser::swr::DetectorPair{};
    };
    analyser::swr::DetectorPair pair;
    bool ok[2] = {false, false};
    pair.forwardOffset = offsets.section(QLatin1Char(':'), 0, 0).toDouble(&ok[0]);
    pair.reflectedOffset = offsets.section(QLatin1Char(':'), 1).toDouble(&ok[1]);
    if (!ok[0] || !ok[1] || !std::isfinite(pair.forwardOffset) ||
        !std::isfinite(pair.reflectedOffset) || pair.forwardOffset < 0 || pair.reflectedOffset < 0)
        return damaged(QStringLiteral("offsets \"%1\"").arg(offsets.left(40)));
    for (const QString& entry : table.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const double ratio = entry.section(QLatin1Char(':'), 0, 0).toDouble(&ok[0]);
        const double gamma = entry.section(QLatin1Char(':'), 1).toDouble(&ok[1]);
        if (!ok[0] || !ok[1] || !std::isfinite(ratio) || ratio < 0 || !(gamma >= 0) || gamma > 1 ||
            (!pair.linearisation.empty() && ratio <= pair.linearisation.back().first))
            return damaged(QStringLiteral("entry \"%1\"").arg(entry.left(40)));
        pair.linearisation.emplace_back(ratio, gamma);
    }
    return pair;
}

void saveDetectorPair(CSetting& store, const analyser::swr::DetectorPair& pair) {
    QStringList table;
    for (const auto& [ratio, gamma] : pair.linearisation)
        table << number(ratio) + QLatin1Char(':') + number(gamma);
    store.SaveSettingStr(PairSection, QStringLiteral("Offsets"),
                         number(pair.forwardOffset) + QLatin1Char(':') +
                             number(pair.reflectedOffset));
    store.SaveSettingStr(PairSection, QStringLiteral("Linearisation"),
                         table.join(QLatin1Char(';')));
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
