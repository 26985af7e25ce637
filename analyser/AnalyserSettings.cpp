#include "AnalyserSettings.h"

#include "core/Error.h"
#include "settings/CSetting.h"
#include "settings/SafeFile.h"

#include <QFile>
#include <QHash>
#include <QStandardPaths>

#include <cmath>

namespace kalimor::analyser_settings {

namespace {

const QString Section = QStringLiteral("Analyser");
const QString PresetSection = QStringLiteral("Analyser presets");

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

QStringList presetNames(CSetting& store) {
    QStringList names;
    try {
        if (const auto table = store.GetSettingAll(PresetSection))
            for (const auto& row : *table) names << row[0];
    } catch (const Error&) {
        // A store that cannot be read has no presets to offer.
    }
    return names;
}

std::optional<Preset> preset(CSetting& store, const QString& name) {
    QString text;
    try {
        text = store.GetSettingStr(PresetSection, name.trimmed(), QString());
    } catch (const Error&) {
        return std::nullopt;
    }
    QHash<QString, double> v;
    for (const QString& pair : text.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        bool ok = false;
        const double x = pair.section(QLatin1Char('='), 1).toDouble(&ok);
        if (ok && std::isfinite(x)) v[pair.section(QLatin1Char('='), 0, 0)] = x;
    }
    if (v.size() < 10) return std::nullopt;
    Preset p;
    p.range = int(v["range"]);
    p.a = v["a"];
    p.b = v["b"];
    p.points = int(v["points"]);
    p.log = v["log"] != 0;
    p.settleMs = int(v["settle"]);
    p.samples = int(v["samples"]);
    p.detector = int(v["detector"]);
    p.slope = v["slope"];
    p.intercept = v["intercept"];
    return p;
}

void savePreset(CSetting& store, const QString& name, const Preset& p) {
    const QString text =
        QStringLiteral("range=%1;a=%2;b=%3;points=%4;log=%5;settle=%6;samples=%7;detector=%8;"
                       "slope=%9;intercept=%10")
            .arg(p.range)
            .arg(p.a, 0, 'g', 12)
            .arg(p.b, 0, 'g', 12)
            .arg(p.points)
            .arg(p.log ? 1 : 0)
            .arg(p.settleMs)
            .arg(p.samples)
            .arg(p.detector)
            .arg(p.slope, 0, 'g', 12)
            .arg(p.intercept, 0, 'g', 12);
    store.SaveSettingStr(PresetSection, name.trimmed(), text);
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
