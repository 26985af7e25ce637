#include "Options.h"

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
        "  --port sim          same as --simulate\n"
        "  --trace FILE        append one JSON line per load to FILE\n"
        "  --rigctld[=[ADDR:]PORT]  answer Hamlib's rigctld protocol (default 127.0.0.1:4532)\n"
        "  -h, --help          show this help\n"
        "  -v, --version       show the version\n"
        "\n"
        "Without --port or --simulate the program drives the port chosen in\n"
        "Edit > Board..., or the /dev/parportN whose base address is the one set in\n"
        "Edit > Properties.\n"
        "Qt's own options such as -platform offscreen are accepted as well.\n");
}

std::variant<Options, QString> parseOptions(const QStringList& arguments) {
    Options options;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        auto valueOf = [&](const QString& name, QString* value) -> std::optional<QString> {
            if (arg == name) {
                // The next word is another option, not this one's value: a
                // file really called "-x" can be given as --trace=-x.
                if (i + 1 >= arguments.size() || arguments[i + 1].startsWith(QLatin1Char('-')))
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
    return options;
}

} // namespace kalimor
