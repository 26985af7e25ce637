#include "AnalyserSettings.h"

#include "core/Error.h"
#include "settings/CSetting.h"
#include "settings/SafeFile.h"

#include <QFile>
#include <QStandardPaths>

#include <cmath>

namespace kalimor::analyser_settings {

namespace {

const QString Section = QStringLiteral("Analyser");

double stored(CSetting& store, const char* key, double fallback) {
    bool ok = false;
    double v = fallback;
    try {
        v = store.GetSettingStr(Section, QLatin1String(key), QString::number(fallback, 'g', 12))
                .toDouble(&ok);
    } catch (const Error&) {
        // A store that cannot be read gives the defaults; start-up said why.
    }
    return ok && std::isfinite(v) ? v : fallback;
}

} // namespace

analyser::Detector detector(CSetting& store, analyser::Detector::Kind kind) {
    analyser::Detector d;
    d.kind = kind;
    d.slopeMvPerDb = stored(store, "LogSlopeMvPerDb", d.slopeMvPerDb);
    d.interceptDbm = stored(store, "LogInterceptDbm", d.interceptDbm);
    d.diodeA = stored(store, "DiodeA", d.diodeA);
    d.diodeB = stored(store, "DiodeB", d.diodeB);
    return d;
}

analyser::Detector detector(CSetting& store) {
    return detector(store, stored(store, "DetectorKind", 0) == 1 ? analyser::Detector::Kind::Diode
                                                                 : analyser::Detector::Kind::Log);
}

void saveDetector(CSetting& store, const analyser::Detector& d) {
    const bool log = d.kind == analyser::Detector::Kind::Log;
    store.SaveSettingStr(Section, QStringLiteral("DetectorKind"),
                         log ? QStringLiteral("0") : QStringLiteral("1"));
    if (log) {
        store.SaveSettingStr(Section, QStringLiteral("LogSlopeMvPerDb"),
                             QString::number(d.slopeMvPerDb, 'g', 12));
        store.SaveSettingStr(Section, QStringLiteral("LogInterceptDbm"),
                             QString::number(d.interceptDbm, 'g', 12));
    } else {
        store.SaveSettingStr(Section, QStringLiteral("DiodeA"), QString::number(d.diodeA, 'g', 12));
        store.SaveSettingStr(Section, QStringLiteral("DiodeB"), QString::number(d.diodeB, 'g', 12));
    }
}

analyser::SimulatedDevice::Kind simulatedDevice(CSetting& store) {
    const int kind =
        int(stored(store, "SimulatedDevice", int(analyser::SimulatedDevice::Kind::CrystalFilter)));
    return kind >= 0 && kind <= int(analyser::SimulatedDevice::Kind::Crystal)
               ? analyser::SimulatedDevice::Kind(kind)
               : analyser::SimulatedDevice::Kind::CrystalFilter;
}

void saveSimulatedDevice(CSetting& store, analyser::SimulatedDevice::Kind kind) {
    store.SaveSettingStr(Section, QStringLiteral("SimulatedDevice"), QString::number(int(kind)));
}

QString throughFile() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/kalimor-through.csv");
}

std::optional<analyser::Trace> through() {
    QFile f(throughFile());
    if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
    return analyser::fromCsv(QString::fromUtf8(f.readAll()), nullptr);
}

std::optional<QString> saveThrough(const analyser::Trace& trace) {
    QString why;
    const auto path = prepareSave(throughFile(), &why);
    if (!path) return why;
    return replaceFile(*path, analyser::toCsv(trace, QStringLiteral("through")).toUtf8());
}

} // namespace kalimor::analyser_settings
