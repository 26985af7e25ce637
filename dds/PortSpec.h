#pragma once

#include "dds/Port.h"

#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace kalimor::dds {

// A port as the user names it, the same on the command line (--port) and in
// the settings (Configuration, key Port):
//   sim                          the simulated board
//   ppdev | /dev/parportN        the parallel port by its address, or that device
//   io                           direct port I/O at the address
//   ftdi[:SERIAL[:reset]]        an FTDI adapter (the first one without SERIAL)
//   gpio[:CHIP[:D,W,F[,R]]]      GPIO lines: CHIP a name or a label, by default the Raspberry
//                                Pi header's chip; lines 25,23,24,22 by default
//   serial:DEVICE                the Kalimor bridge (firmware/) on a USB serial port
//   sketch:DEVICE[:BAUD]         an Arduino antenna analyser sketch (57600 or 115200 baud)
struct PortSpec {
    enum class Kind { Simulated, Ppdev, DirectIo, Ftdi, Gpio, Serial, Sketch };
    Kind kind = Kind::Ppdev;
    QString device;             // /dev/parportN, the FTDI serial, the GPIO chip, the tty
    bool reset = false;         // FTDI: RESET on the fourth pin
    std::vector<unsigned> pins; // GPIO: DATA, W_CLK, FQ_UD[, RESET]
    int baud = 115200;          // the antenna analyser sketch's speed

    QString text() const;
    bool operator==(const PortSpec&) const = default;
};

// The port named by `text`, or nothing with the reason in `why`.
std::optional<PortSpec> parsePortSpec(const QString& text, QString* why);
std::unique_ptr<PortBackend> makeBackend(const PortSpec& choice);

} // namespace kalimor::dds
