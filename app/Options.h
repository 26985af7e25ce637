#pragma once

#include "beacon/Beacon.h"
#include "dds/PortSpec.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace kalimor {

// What the command line asks for.
struct Options {
    // --port or --simulate; without them the port in the settings (Edit >
    // Board...), or the parallel port at the configured address.
    std::optional<dds::PortSpec> port;
    QString traceFile;              // --trace FILE
    std::optional<QString> rigctld; // --rigctld[=[ADDR:]PORT]; empty: the default endpoint
    // --beacon MODE and its options: sends without a window.
    std::optional<beacon::BeaconSetup> beacon;
    bool pttKeys = false; // --ptt-keys: a client's T 1 / T 0 switch the output on and off
    bool help = false;
    bool version = false;
};

// Either the options or one line saying what is wrong with them. Qt's own
// options (-platform, -display, -style...) are left for QApplication.
std::variant<Options, QString> parseOptions(const QStringList& arguments);

QString usageText();

} // namespace kalimor
