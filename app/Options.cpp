#include "Options.h"

#include "beacon/Morse.h"
#include "beacon/Wspr.h"
#include "core/Numbers.h"

#include <QHash>

#include <cmath>

#include <QSet>

namespace kalimor {

namespace {

// QApplication's options that take a value, so their value is not mistaken for ours.
const QSet<QString>& qtOptionsWithValue() {
    static const QSet<QString> set = {
        QStringLiteral("-platform"),        QStringLiteral("-platformpluginpath"),
        QStringLiteral("-platformtheme"),   QStringLiteral("-plugin"),
        QStringLiteral("-qwindowgeometry"), QStringLiteral("-qwindowtitle"),
        QStringLiteral("-qwindowicon"),     QStringLiteral("-display"),
        QStringLiteral("-geometry"),        QStringLiteral("-style"),
        QStringLiteral("-stylesheet"),      QStringLiteral("-session"),
        QStringLiteral("-title"),           QStringLiteral("-name")};
    return set;
}

bool looksLikeOption(const QString& word) {
    return word.size() > 1 && word[0] == QLatin1Char('-') &&
           (word[1].isLetter() || word[1] == QLatin1Char('-'));
}

// MHz as a person writes them: 45, 10.7, 49.999999.
QString mhz(double hz) {
    QString text = QString::number(hz / 1e6, 'f', 6);
    while (text.endsWith(QLatin1Char('0'))) text.chop(1);
    if (text.endsWith(QLatin1Char('.'))) text.chop(1);
    return text;
}

const QSet<QString>& qtFlags() {
    static const QSet<QString> set = {QStringLiteral("-reverse"), QStringLiteral("-widgetcount"),
                                      QStringLiteral("-nograb"), QStringLiteral("-dograb"),
                                      QStringLiteral("-sync")};
    return set;
}

} // namespace

QString usageText() {
    return QStringLiteral(
        "Usage: kalimor [options]\n"
        "Controls an AD9850-family DDS signal generator: on a parallel port, an FTDI USB\n"
        "adapter, Raspberry Pi GPIO lines or the USB serial bridge, or simulated.\n"
        "\n"
        "Options:\n"
        "  --simulate          drive the simulated board instead of a port\n"
        "  --port /dev/parportN  drive this ppdev device\n"
        "  --port ppdev        the parallel port at the configured address\n"
        "  --port io           direct port I/O at the configured address (x86, needs "
        "CAP_SYS_RAWIO)\n"
        "  --port ftdi[:SERIAL[:reset]]  an FTDI USB adapter in bit-bang mode\n"
        "  --port gpio[:CHIP[:DATA,W_CLK,FQ_UD[,RESET]]]  GPIO lines (gpiochip0, 25,23,24,22)\n"
        "  --port serial:DEVICE  the Kalimor bridge (firmware/) on a USB serial port\n"
        "  --port sketch:DEVICE[:BAUD]  an Arduino antenna analyser sketch, for --swr\n"
        "  --port sim          same as --simulate\n"
        "  --trace FILE        append one JSON line per load to FILE\n"
        "  --rigctld[=[ADDR:]PORT]  answer Hamlib's rigctld protocol (default 127.0.0.1:4532)\n"
        "  --ptt-keys          a client's PTT (T 1, T 0) switches the output on and off\n"
        "  --tx-timeout MIN    longest key-down by PTT or a client's Morse (default 10, 0 = none)\n"
        "  --beacon wspr|cw|qrss3|qrss6|qrss10|qrss30|qrss60  send a beacon, no window\n"
        "  --dial MHZ[,MHZ...]  the beacon's dial frequency, several taken in turn\n"
        "  --call CALL --grid LOCATOR --dbm DBM  the WSPR message\n"
        "  --offset HZ|random  WSPR audio offset, 1400 to 1600 (default 1500)\n"
        "  --tx-percent N      WSPR frames sent, in percent (default 20)\n"
        "  --ignore-clock      send WSPR although the clock is not synchronised\n"
        "  --text TEXT --wpm WPM  the CW or QRSS text, CW's speed (5 to 40, default 20)\n"
        "  --keying onoff|fsk:HZ|dfcw:HZ  how CW and QRSS key the output\n"
        "  --once              one frame (or the text once) at once, then exit\n"
        "  --analyse START_MHZ:STOP_MHZ:POINTS  sweep once, print the markers, no window\n"
        "  --crystal R0        measure a crystal in a fixture of R0 ohm, print its values\n"
        "  --near MHZ          where --crystal looks, within 0.5 % (default 10)\n"
        "  --log               logarithmic spacing for --analyse\n"
        "  --settle MS --samples N  wait and average at each point (0, 4)\n"
        "  --source DBM        levels against this source level, not the recorded through\n"
        "  --csv FILE --s2p FILE  write --analyse's trace as CSV or Touchstone (- stdout)\n"
        "  --swr START_MHZ:STOP_MHZ:POINTS  antenna SWR through the bridge, no window\n"
        "  --calibrate open|short|load  --swr measures this standard now and keeps it\n"
        "  --sim-dut open|short|load|antenna:R_OHM:L_H:C_F  the simulated bridge's device\n"
        "  --follow-audio pulse[:SOURCE]|FILE.wav|-  transmit the tone the audio carries\n"
        "                      at the dial plus the tone (WSJT-X's modes), no window\n"
        "  --dial MHZ          the follower's dial (clients' F changes it)\n"
        "  --ptt cat|vox       key by a client's T 1 / T 0 (default with --rigctld) or by\n"
        "                      the audio's level\n"
        "  --vox-threshold DB  the level that keys and is measured, dBFS (default -40)\n"
        "  --hold-dial         between transmissions the output holds the dial, not off\n"
        "  --speed X           play a file X times faster than real time (1 to 100)\n"
        "  -h, --help          show this help\n"
        "  -v, --version       show the version\n"
        "\n"
        "Without --port or --simulate the program drives the port chosen in\n"
        "Edit > Board..., or the /dev/parportN whose base address is the one set in\n"
        "Edit > Properties.\n"
        "Qt's own options such as -platform offscreen are accepted as well.\n");
}

namespace {

// --dbm: WSPR's message holds only the powers ending in 0, 3 or 7 from 0 to
// 60 dBm; any other would go out as something the user did not ask for.
std::optional<QString> wsprPower(const QHash<QString, QString>& v, int* dbm) {
    const QString key = QStringLiteral("--dbm");
    if (!v.contains(key)) return std::nullopt;
    bool ok = false;
    const double x = v[key].toDouble(&ok);
    auto sent = [](int p) {
        return p >= 0 && p <= 60 && (p % 10 == 0 || p % 10 == 3 || p % 10 == 7);
    };
    if (ok && x == std::round(x) && sent(int(x))) {
        *dbm = int(x);
        return std::nullopt;
    }
    const QString rule =
        QStringLiteral("%1 %2: WSPR sends 0, 3, 7, 10, 13, 17 ... 57 or 60 dBm").arg(key, v[key]);
    if (!ok || !std::isfinite(x)) return rule;
    int below = -1, above = -1;
    for (int p = 0; p <= 60; ++p) {
        if (!sent(p)) continue;
        if (p <= x) below = p;
        if (p >= x && above < 0) above = p;
    }
    if (below < 0) return rule + QStringLiteral("; the nearest is %1").arg(above);
    if (above < 0) return rule + QStringLiteral("; the nearest is %1").arg(below);
    return rule + QStringLiteral("; the nearest are %1 and %2").arg(below).arg(above);
}

// The beacon's options, checked once all are read.
std::optional<QString> beaconSetup(const QHash<QString, QString>& v, beacon::BeaconSetup* b) {
    using Mode = beacon::BeaconSetup::Mode;
    const QString mode = v.value(QStringLiteral("--beacon"));
    QString notNumber; // the first option whose value is not a number
    auto number = [&](const QString& key, double fallback) {
        if (!v.contains(key)) return fallback;
        bool good = false;
        const double x = v[key].toDouble(&good);
        if ((!good || !std::isfinite(x)) && notNumber.isEmpty()) notNumber = key;
        return x;
    };
    auto given = [&](const QString& key) { return QStringLiteral("%1 %2").arg(key, v[key]); };
    for (const QString& mhz :
         v.value(QStringLiteral("--dial")).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool good = false;
        const double x = mhz.toDouble(&good);
        if (!good || !(x > 0)) return QStringLiteral("--dial %1: not a frequency in MHz").arg(mhz);
        b->dialsHz.push_back(std::round(x * 1e6 * 1000) / 1000);
    }
    if (b->dialsHz.empty()) return QStringLiteral("--beacon needs --dial MHZ");
    b->once = v.contains(QStringLiteral("--once"));
    if (mode == QLatin1String("wspr")) {
        b->mode = Mode::Wspr;
        b->call = v.value(QStringLiteral("--call"));
        b->grid = v.value(QStringLiteral("--grid"));
        if (auto why = wsprPower(v, &b->dbm)) return *why;
        if (b->call.isEmpty()) return QStringLiteral("--beacon wspr needs --call");
        if (v.value(QStringLiteral("--offset")) == QLatin1String("random"))
            b->offsetHz = -1;
        else
            b->offsetHz = number(QStringLiteral("--offset"), 1500);
        if (b->offsetHz >= 0 && (b->offsetHz < 1400 || b->offsetHz > 1600))
            return given(QStringLiteral("--offset")) +
                   QStringLiteral(": 1400 to 1600 Hz, or random");
        b->txPercent = int(number(QStringLiteral("--tx-percent"), 20));
        if (b->txPercent < 0 || b->txPercent > 100)
            return given(QStringLiteral("--tx-percent")) + QStringLiteral(": 0 to 100");
        b->ignoreClock = v.contains(QStringLiteral("--ignore-clock"));
        // The message the beacon would refuse at its start, refused here.
        if (QString why; !beacon::wsprMessages(b->call, b->grid, b->dbm, &why))
            return QStringLiteral("--call %1 --grid %2: %3").arg(b->call, b->grid, why);
    } else if (mode == QLatin1String("cw") || mode.startsWith(QLatin1String("qrss"))) {
        b->text = v.value(QStringLiteral("--text"));
        if (b->text.isEmpty()) return QStringLiteral("--beacon %1 needs --text").arg(mode);
        if (QString why; !beacon::morse(b->text, &why))
            return QStringLiteral("--text %1: %2").arg(b->text, why);
        if (mode == QLatin1String("cw")) {
            b->mode = Mode::Cw;
            const int wpm = int(number(QStringLiteral("--wpm"), 20));
            if (wpm < 5 || wpm > 40)
                return given(QStringLiteral("--wpm")) + QStringLiteral(": 5 to 40");
            b->ditSeconds = beacon::ditSecondsForWpm(wpm);
        } else {
            b->mode = Mode::Qrss;
            const int dit = mode.mid(4).toInt();
            if (dit != 3 && dit != 6 && dit != 10 && dit != 30 && dit != 60)
                return QStringLiteral("--beacon %1: QRSS dits are 3, 6, 10, 30 or 60 s").arg(mode);
            b->ditSeconds = dit;
        }
        const QString keying = v.value(QStringLiteral("--keying"), QStringLiteral("onoff"));
        const QString kind = keying.section(QLatin1Char(':'), 0, 0);
        bool good = true;
        const double shift = keying.contains(QLatin1Char(':'))
                                 ? keying.section(QLatin1Char(':'), 1).toDouble(&good)
                                 : 0;
        if (kind == QLatin1String("onoff") && !keying.contains(QLatin1Char(':')))
            b->keying = beacon::Keying::OnOff;
        else if (kind == QLatin1String("fsk") && good && shift > 0 && shift <= 1000)
            b->keying = beacon::Keying::Fsk;
        else if (kind == QLatin1String("dfcw") && good && shift > 0 && shift <= 1000)
            b->keying = beacon::Keying::Dfcw;
        else
            return given(QStringLiteral("--keying")) +
                   QStringLiteral(": onoff, fsk:HZ or dfcw:HZ (HZ up to 1000)");
        b->shiftHz = shift;
    } else {
        return QStringLiteral("--beacon %1: wspr, cw, qrss3, qrss6, qrss10, qrss30 or qrss60")
            .arg(mode);
    }
    if (!notNumber.isEmpty()) return given(notNumber) + QStringLiteral(": not a number");
    return std::nullopt;
}

// The analyser's options, checked once all are read.
std::optional<QString> analyseSetup(const QHash<QString, QString>& v, AnalyseSetup* a) {
    auto number = [&](const QString& key, double fallback, double low, double high,
                      std::optional<QString>* error) {
        if (!v.contains(key)) return fallback;
        bool ok = false;
        const double x = v[key].toDouble(&ok);
        if (!ok || !(x >= low && x <= high))
            *error =
                QStringLiteral("%1 %2: a number from %3 to %4").arg(key, v[key]).arg(low).arg(high);
        return x;
    };
    std::optional<QString> error;
    a->crystal = v.contains(QStringLiteral("--crystal"));
    if (a->crystal == v.contains(QStringLiteral("--analyse")))
        return QStringLiteral("--analyse and --crystal go one at a time");
    if (a->crystal) {
        a->r0 = number(QStringLiteral("--crystal"), 12.5, 1, 1000, &error);
        a->nearMHz = number(QStringLiteral("--near"), 10, 0.01, 100, &error);
    } else {
        const QString value = v.value(QStringLiteral("--analyse"));
        const QStringList parts = value.split(QLatin1Char(':'));
        bool ok1 = false, ok2 = false, ok3 = false;
        if (parts.size() == 3) {
            a->startMHz = parts[0].toDouble(&ok1);
            a->stopMHz = parts[1].toDouble(&ok2);
            a->points = parts[2].toInt(&ok3);
        }
        const QString head = QStringLiteral("--analyse %1: ").arg(value);
        if (!ok1 || !ok2 || !ok3 || !std::isfinite(a->startMHz) || !std::isfinite(a->stopMHz))
            return head + QStringLiteral("expected START_MHZ:STOP_MHZ:POINTS, three numbers");
        if (!(a->startMHz > 0))
            return head + QStringLiteral("START %1 MHz is not above 0 MHz").arg(parts[0]);
        if (!(a->stopMHz > a->startMHz))
            return head +
                   QStringLiteral("STOP %1 MHz is not above START %2 MHz").arg(parts[1], parts[0]);
        if (a->points < 2 || a->points > 10001)
            return head + QStringLiteral("POINTS %1 is not from 2 to 10001").arg(parts[2]);
    }
    a->log = v.contains(QStringLiteral("--log"));
    a->settleMs = int(number(QStringLiteral("--settle"), 0, 0, 10000, &error));
    a->samples = int(number(QStringLiteral("--samples"), 4, 1, 64, &error));
    if (v.contains(QStringLiteral("--source")))
        a->sourceDbm = number(QStringLiteral("--source"), 0, -100, 30, &error);
    a->csv = v.value(QStringLiteral("--csv"));
    a->s2p = v.value(QStringLiteral("--s2p"));
    if (a->csv == QLatin1String("-") && a->s2p == QLatin1String("-"))
        return QStringLiteral("--csv - and --s2p -: only one of them can be standard output");
    return error;
}

// The antenna analyser's options; --csv, --settle and --samples are shared
// with --analyse and read from its values.
std::optional<QString> swrSetup(const QHash<QString, QString>& v, const QHash<QString, QString>& a,
                                SwrSetup* s) {
    const QStringList parts = v.value(QStringLiteral("--swr")).split(QLatin1Char(':'));
    bool ok1 = false, ok2 = false, ok3 = false;
    if (parts.size() == 3) {
        s->startMHz = parts[0].toDouble(&ok1);
        s->stopMHz = parts[1].toDouble(&ok2);
        s->points = parts[2].toInt(&ok3);
    }
    if (!ok1 || !ok2 || !ok3 || !(s->startMHz > 0) || !(s->stopMHz > s->startMHz) ||
        s->points < 3 || s->points > 10001)
        return QStringLiteral("--swr START_MHZ:STOP_MHZ:POINTS, START below STOP, 3 to 10001 "
                              "points");
    s->calibrate = v.value(QStringLiteral("--calibrate"));
    if (v.contains(QStringLiteral("--calibrate")) && s->calibrate != QLatin1String("open") &&
        s->calibrate != QLatin1String("short") && s->calibrate != QLatin1String("load"))
        return QStringLiteral("--calibrate: open, short or load");
    s->simDut = v.value(QStringLiteral("--sim-dut"));
    for (auto it = a.begin(); it != a.end(); ++it) {
        bool ok = false;
        const int n = it.value().toInt(&ok);
        if (it.key() == QLatin1String("--csv") && !it.value().isEmpty())
            s->csv = it.value();
        else if (it.key() == QLatin1String("--settle") && ok && n >= 0 && n <= 10000)
            s->settleMs = n;
        else if (it.key() == QLatin1String("--samples") && ok && n >= 1 && n <= 64)
            s->samples = n;
        else
            return QStringLiteral("%1 %2 does not go with --swr").arg(it.key(), it.value());
    }
    return std::nullopt;
}

} // namespace

namespace {

QString beyondTheBoard(double refClkHz) {
    return QStringLiteral("%1 MHz, the most this board makes at a %2 MHz clock")
        .arg(mhz(highestFrequencyHz(refClkHz)), mhz(refClkHz));
}

std::optional<QString> checkStop(const char* option, double startMHz, double stopMHz, int points,
                                 double refClkHz) {
    if (stopMHz * 1e6 <= highestFrequencyHz(refClkHz)) return std::nullopt;
    return QStringLiteral("%1 %2:%3:%4: STOP %3 MHz is above %5")
        .arg(QLatin1String(option), mhz(startMHz * 1e6), mhz(stopMHz * 1e6))
        .arg(points)
        .arg(beyondTheBoard(refClkHz));
}

} // namespace

std::optional<QString> checkAnalyseLimits(const AnalyseSetup& a, double refClkHz) {
    if (!a.crystal) return checkStop("--analyse", a.startMHz, a.stopMHz, a.points, refClkHz);
    const double topHz = a.nearMHz * 1e6 * (1 + AnalyseSetup::NearReach);
    if (topHz <= highestFrequencyHz(refClkHz)) return std::nullopt;
    return QStringLiteral("--near %1: the crystal's sweep up to %2 MHz is above %3")
        .arg(mhz(a.nearMHz * 1e6), mhz(topHz), beyondTheBoard(refClkHz));
}

std::optional<QString> checkSwrLimits(const SwrSetup& s, double refClkHz) {
    return checkStop("--swr", s.startMHz, s.stopMHz, s.points, refClkHz);
}

namespace {

std::optional<QString> followSetup(const QHash<QString, QString>& v,
                                   const QHash<QString, QString>& beaconValues,
                                   const Options& options, FollowCliSetup* f) {
    f->source = v.value(QStringLiteral("--follow-audio"));
    if (f->source.isEmpty())
        return QStringLiteral("--follow-audio needs pulse[:SOURCE], FILE.wav or -");
    const QString dial = beaconValues.value(QStringLiteral("--dial"));
    if (dial.isEmpty()) return QStringLiteral("--follow-audio needs --dial MHZ");
    bool ok = false;
    const double mhz = dial.toDouble(&ok);
    if (!ok || !(mhz > 0) || !std::isfinite(mhz))
        return QStringLiteral("--dial %1: not a frequency in MHz").arg(dial);
    f->setup.dialHz = std::round(mhz * 1e6 * 1000) / 1000;
    if (v.contains(QStringLiteral("--ptt"))) {
        const QString ptt = v[QStringLiteral("--ptt")];
        if (ptt == QLatin1String("cat"))
            f->keying = follow::Keying::Cat;
        else if (ptt == QLatin1String("vox"))
            f->keying = follow::Keying::Vox;
        else
            return QStringLiteral("--ptt %1: cat or vox").arg(ptt);
        if (f->keying == follow::Keying::Cat && !options.rigctld)
            return QStringLiteral("--ptt cat needs --rigctld: the client's T 1 keys it");
    }
    f->setup.keying =
        f->keying.value_or(options.rigctld ? follow::Keying::Cat : follow::Keying::Vox);
    if (v.contains(QStringLiteral("--vox-threshold"))) {
        const QString t = v[QStringLiteral("--vox-threshold")];
        f->setup.thresholdDb = t.toDouble(&ok);
        if (!ok || !(f->setup.thresholdDb >= -90 && f->setup.thresholdDb <= 0))
            return QStringLiteral("--vox-threshold %1: dBFS from -90 to 0").arg(t);
    }
    if (v.contains(QStringLiteral("--speed"))) {
        const QString t = v[QStringLiteral("--speed")];
        f->speed = t.toDouble(&ok);
        if (!ok || !(f->speed >= 1 && f->speed <= 100))
            return QStringLiteral("--speed %1: from 1 (real time) to 100").arg(t);
        if (f->source.startsWith(QLatin1String("pulse")))
            return QStringLiteral("--speed %1: a sound server plays in real time only").arg(t);
    }
    f->setup.holdDial = v.contains(QStringLiteral("--hold-dial"));
    f->setup.txTimeout = std::chrono::milliseconds(std::llround(options.txTimeoutMinutes * 60'000));
    return std::nullopt;
}

} // namespace

std::variant<Options, QString> parseOptions(const QStringList& arguments) {
    Options options;
    QHash<QString, QString> beaconValues, analyseValues, swrValues, followValues;
    static const QStringList followOptions = {
        QStringLiteral("--follow-audio"), QStringLiteral("--ptt"),
        QStringLiteral("--vox-threshold"), QStringLiteral("--speed")};
    static const QStringList swrOptions = {QStringLiteral("--swr"), QStringLiteral("--calibrate"),
                                           QStringLiteral("--sim-dut")};
    static const QStringList analyseOptions = {
        QStringLiteral("--analyse"), QStringLiteral("--crystal"), QStringLiteral("--near"),
        QStringLiteral("--settle"),  QStringLiteral("--samples"), QStringLiteral("--source"),
        QStringLiteral("--csv"),     QStringLiteral("--s2p")};
    static const QStringList beaconOptions = {
        QStringLiteral("--beacon"),     QStringLiteral("--call"), QStringLiteral("--grid"),
        QStringLiteral("--dbm"),        QStringLiteral("--dial"), QStringLiteral("--offset"),
        QStringLiteral("--tx-percent"), QStringLiteral("--text"), QStringLiteral("--wpm"),
        QStringLiteral("--keying")};
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        auto valueOf = [&](const QString& name, QString* value) -> std::optional<QString> {
            if (arg == name) {
                // The next word is another option, not this one's value: a
                // file really called "-x" can be given as --trace=-x. A dash
                // before a digit (--source -10, --analyse -1:2:3) or alone
                // (standard output) is a value all the same.
                if (i + 1 >= arguments.size() || looksLikeOption(arguments[i + 1]))
                    return QStringLiteral("option %1 needs a value").arg(name);
                *value = arguments[++i];
                return std::nullopt;
            }
            *value = arg.mid(name.size() + 1);
            return std::nullopt;
        };
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            options.help = true;
        } else if (arg == QLatin1String("-v") || arg == QLatin1String("--version")) {
            options.version = true;
        } else if (arg == QLatin1String("--simulate")) {
            options.port.emplace();
            options.port->kind = dds::PortSpec::Kind::Simulated;
        } else if (arg == QLatin1String("--port") || arg.startsWith(QLatin1String("--port="))) {
            QString value, why;
            if (auto error = valueOf(QStringLiteral("--port"), &value)) return *error;
            options.port = dds::parsePortSpec(value, &why);
            if (!options.port) return QStringLiteral("--port %1").arg(why);
        } else if (arg == QLatin1String("--trace") || arg.startsWith(QLatin1String("--trace="))) {
            QString value;
            if (auto error = valueOf(QStringLiteral("--trace"), &value)) return *error;
            if (value.isEmpty()) return QStringLiteral("--trace needs a file name");
            options.traceFile = value;
        } else if (const QString name = arg.section(QLatin1Char('='), 0, 0);
                   beaconOptions.contains(name)) {
            QString value;
            if (auto error = valueOf(name, &value)) return *error;
            beaconValues[name] = value;
        } else if (const QString name = arg.section(QLatin1Char('='), 0, 0);
                   analyseOptions.contains(name)) {
            QString value;
            if (auto error = valueOf(name, &value)) return *error;
            analyseValues[name] = value;
        } else if (const QString name = arg.section(QLatin1Char('='), 0, 0);
                   swrOptions.contains(name)) {
            QString value;
            if (auto error = valueOf(name, &value)) return *error;
            swrValues[name] = value;
        } else if (const QString name = arg.section(QLatin1Char('='), 0, 0);
                   followOptions.contains(name)) {
            QString value;
            if (auto error = valueOf(name, &value)) return *error;
            followValues[name] = value;
        } else if (arg == QLatin1String("--hold-dial")) {
            followValues[arg] = QString();
        } else if (arg == QLatin1String("--log")) {
            analyseValues[arg] = QString();
        } else if (arg == QLatin1String("--ptt-keys")) {
            options.pttKeys = true;
        } else if (arg == QLatin1String("--tx-timeout") ||
                   arg.startsWith(QLatin1String("--tx-timeout="))) {
            QString value;
            if (auto error = valueOf(QStringLiteral("--tx-timeout"), &value)) return *error;
            bool ok = false;
            options.txTimeoutMinutes = value.toDouble(&ok);
            if (!ok || !(options.txTimeoutMinutes >= 0 && options.txTimeoutMinutes <= 1440))
                return QStringLiteral("--tx-timeout %1: minutes from 0 (none) to 1440").arg(value);
        } else if (arg == QLatin1String("--once") || arg == QLatin1String("--ignore-clock")) {
            beaconValues[arg] = QString();
        } else if (arg == QLatin1String("--rigctld")) {
            options.rigctld = QString();
        } else if (arg.startsWith(QLatin1String("--rigctld="))) {
            options.rigctld = arg.mid(10);
            if (options.rigctld->isEmpty()) return QStringLiteral("--rigctld= needs [ADDR:]PORT");
        } else if (qtOptionsWithValue().contains(arg)) {
            ++i;
        } else if (qtFlags().contains(arg)) {
        } else {
            return QStringLiteral("unknown option '%1' (see --help)").arg(arg);
        }
    }
    if (swrValues.contains(QStringLiteral("--swr"))) {
        SwrSetup setup;
        if (auto error = swrSetup(swrValues, analyseValues, &setup)) return *error;
        if (!beaconValues.isEmpty()) return QStringLiteral("--beacon and --swr go one at a time");
        options.swr = setup;
        analyseValues.clear();
    } else if (!swrValues.isEmpty()) {
        return QStringLiteral("%1 goes with --swr").arg(swrValues.keys().first());
    }
    if (analyseValues.contains(QStringLiteral("--analyse")) ||
        analyseValues.contains(QStringLiteral("--crystal"))) {
        AnalyseSetup setup;
        if (auto error = analyseSetup(analyseValues, &setup)) return *error;
        if (!beaconValues.isEmpty())
            return QStringLiteral("--beacon and --analyse go one at a time");
        options.analyse = setup;
    } else if (!analyseValues.isEmpty()) {
        return QStringLiteral("%1 goes with --analyse or --crystal")
            .arg(analyseValues.keys().first());
    }
    if (followValues.contains(QStringLiteral("--follow-audio"))) {
        if (beaconValues.contains(QStringLiteral("--beacon")) || options.analyse || options.swr)
            return QStringLiteral(
                "--follow-audio goes alone, without --beacon, --analyse or --swr");
        FollowCliSetup follow;
        if (auto error = followSetup(followValues, beaconValues, options, &follow)) return *error;
        beaconValues.remove(QStringLiteral("--dial"));
        options.follow = follow;
    } else if (!followValues.isEmpty()) {
        return QStringLiteral("%1 goes with --follow-audio").arg(followValues.keys().first());
    }
    if (beaconValues.contains(QStringLiteral("--beacon"))) {
        beacon::BeaconSetup setup;
        if (auto error = beaconSetup(beaconValues, &setup)) return *error;
        options.beacon = setup;
    } else if (!beaconValues.isEmpty()) {
        return QStringLiteral("%1 goes with --beacon").arg(beaconValues.keys().first());
    }
    return options;
}

} // namespace kalimor
