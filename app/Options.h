#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace kalimor {

// What the command line asks for. With no options the program drives the
// configured port address through ppdev.
struct Options {
    enum class Port { Ppdev, DirectIo, Simulated };
    Port port = Port::Ppdev;
    QString device;                 // --port /dev/parportN
    QString traceFile;              // --trace FILE
    std::optional<QString> rigctld; // --rigctld[=[ADDR:]PORT]; empty: the default endpoint
    bool help = false;
    bool version = false;
};

// Either the options or one line saying what is wrong with them. Qt's own
// options (-platform, -display, -style...) are left for QApplication.
std::variant<Options, QString> parseOptions(const QStringList& arguments);

QString usageText();

} // namespace kalimor
