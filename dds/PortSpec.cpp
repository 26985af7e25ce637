#include "PortSpec.h"

#include "dds/SerialBridge.h"
#include "dds/SketchAnalyser.h"
#include "dds/UsbGpioPorts.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace kalimor::dds {

QString PortSpec::text() const {
    switch (kind) {
    case Kind::Simulated:
        return QStringLiteral("sim");
    case Kind::DirectIo:
        return QStringLiteral("io");
    case Kind::Ppdev:
        return device.isEmpty() ? QStringLiteral("ppdev") : device;
    case Kind::Ftdi:
        if (reset) return QStringLiteral("ftdi:%1:reset").arg(device);
        return device.isEmpty() ? QStringLiteral("ftdi") : QStringLiteral("ftdi:") + device;
    case Kind::Serial:
        return QStringLiteral("serial:") + device;
    case Kind::Sketch:
        return QStringLiteral("sketch:%1:%2").arg(device).arg(baud);
    case Kind::Gpio: {
        if (device.isEmpty() &&
            std::equal(pins.begin(), pins.end(), std::begin(GpioPort::DefaultPins),
                       std::end(GpioPort::DefaultPins)))
            return QStringLiteral("gpio");
        QStringList p;
        for (unsigned pin : pins) p << QString::number(pin);
        return QStringLiteral("gpio:%1:%2").arg(device, p.join(QLatin1Char(',')));
    }
    }
    return {};
}

std::optional<PortSpec> parsePortSpec(const QString& text, QString* why) {
    static const QRegularExpression parport(QStringLiteral("^/dev/parport[0-9]+$"));
    // A chip's name or its label (a Pi 5's SoC chips are "gpio-brcmstb@107d508500").
    static const QRegularExpression chipName(QStringLiteral("^[A-Za-z0-9_.@-]*$"));
    PortSpec s;
    const QStringList parts = text.split(QLatin1Char(':'));
    const QString head = parts.first();
    auto bad = [&](const QString& reason) -> std::optional<PortSpec> {
        *why = QStringLiteral("%1: %2").arg(text, reason);
        return std::nullopt;
    };
    if (text == QLatin1String("sim")) {
        s.kind = PortSpec::Kind::Simulated;
    } else if (text == QLatin1String("io")) {
        s.kind = PortSpec::Kind::DirectIo;
    } else if (text == QLatin1String("ppdev")) {
        s.kind = PortSpec::Kind::Ppdev;
    } else if (parport.match(text).hasMatch()) {
        s.kind = PortSpec::Kind::Ppdev;
        s.device = text;
    } else if (head == QLatin1String("ftdi") && parts.size() <= 3) {
        s.kind = PortSpec::Kind::Ftdi;
        s.device = parts.value(1);
        if (parts.size() == 3 && parts[2] != QLatin1String("reset"))
            return bad(QStringLiteral("expected ftdi[:SERIAL[:reset]]"));
        s.reset = parts.size() == 3;
    } else if (head == QLatin1String("gpio") && parts.size() <= 3) {
        s.kind = PortSpec::Kind::Gpio;
        // No chip named: the Raspberry Pi header's, found by its label when
        // the port opens (its number changed with the kernel on a Pi 5).
        s.device = parts.value(1);
        if (!chipName.match(s.device).hasMatch())
            return bad(QStringLiteral("expected gpio[:CHIP[:DATA,W_CLK,FQ_UD[,RESET]]], "
                                      "CHIP a name (gpiochip0) or a label (pinctrl-bcm2711)"));
        if (parts.size() < 3) {
            s.pins.assign(std::begin(GpioPort::DefaultPins), std::end(GpioPort::DefaultPins));
        } else {
            for (const QString& p : parts[2].split(QLatin1Char(','))) {
                bool ok = false;
                const uint pin = p.toUInt(&ok);
                if (!ok || pin > 1023) return bad(QStringLiteral("pins are line numbers"));
                s.pins.push_back(pin);
            }
            if (s.pins.size() < 3 || s.pins.size() > 4)
                return bad(QStringLiteral("three pins (DATA,W_CLK,FQ_UD) and an optional RESET"));
            for (size_t i = 0; i < s.pins.size(); ++i)
                for (size_t j = i + 1; j < s.pins.size(); ++j)
                    if (s.pins[i] == s.pins[j]) return bad(QStringLiteral("a pin used twice"));
        }
    } else if (head == QLatin1String("serial") && parts.size() >= 2 && !parts[1].isEmpty()) {
        // All after the first colon: /dev/serial/by-path/ names hold colons.
        s.kind = PortSpec::Kind::Serial;
        s.device = text.mid(text.indexOf(QLatin1Char(':')) + 1);
    } else if (head == QLatin1String("sketch") && parts.size() >= 2 && !parts[1].isEmpty()) {
        s.kind = PortSpec::Kind::Sketch;
        s.device = text.mid(text.indexOf(QLatin1Char(':')) + 1);
        // A speed at the end; the device's own name may hold colons.
        bool number = false;
        const int baud = parts.last().toInt(&number);
        if (parts.size() > 2 && number) {
            if (baud != 57600 && baud != 115200)
                return bad(QStringLiteral("the sketches talk at 57600 or 115200 baud"));
            s.baud = baud;
            s.device.chop(parts.last().size() + 1);
        }
    } else {
        return bad(QStringLiteral("expected sim, ppdev, /dev/parportN, io, ftdi[:SERIAL], "
                                  "gpio[:CHIP[:DATA,W_CLK,FQ_UD[,RESET]]], serial:DEVICE or "
                                  "sketch:DEVICE[:BAUD]"));
    }
    return s;
}

std::unique_ptr<PortBackend> makeBackend(const PortSpec& choice) {
    switch (choice.kind) {
    case PortSpec::Kind::Simulated:
        return std::make_unique<SimulatedBoard>();
    case PortSpec::Kind::DirectIo:
        return std::make_unique<DirectIoPort>();
    case PortSpec::Kind::Ppdev:
        if (choice.device.isEmpty()) return std::make_unique<PpdevPort>();
        return std::make_unique<PpdevPort>(choice.device);
    case PortSpec::Kind::Ftdi:
        return std::make_unique<FtdiPort>(choice.device.toStdString(), choice.reset);
    case PortSpec::Kind::Gpio:
        return std::make_unique<GpioPort>(choice.device.toStdString(), choice.pins);
    case PortSpec::Kind::Serial:
        return std::make_unique<SerialBridgePort>(choice.device);
    case PortSpec::Kind::Sketch:
        return std::make_unique<SketchPort>(choice.device, choice.baud);
    }
    return nullptr;
}

} // namespace kalimor::dds
