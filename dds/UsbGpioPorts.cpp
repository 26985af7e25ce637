#include "UsbGpioPorts.h"

#include "core/Error.h"

#include <QStringList>

#include <cerrno>
#include <cstring>

namespace kalimor::dds {

namespace {

constexpr unsigned char BitbangMode = 0x01; // libftdi's BITMODE_BITBANG
constexpr unsigned char ResetPin = 0x08;

Error portFailure(const QString& description) {
    return Error(err::PortAccess, QStringLiteral("Port"), description);
}

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

FtdiPort::FtdiPort(std::string serial, bool withReset, FtdiLib* lib)
    : m_serial(std::move(serial)), m_reset(withReset), m_own(lib ? nullptr : FtdiLib::makeReal()),
      m_lib(lib ? *lib : *m_own) {}

FtdiPort::~FtdiPort() {
    if (m_open) m_lib.close();
}

QString FtdiPort::describe() const {
    return m_serial.empty() ? QStringLiteral("FTDI adapter (first found), bit-bang")
                            : QStringLiteral("FTDI adapter %1, bit-bang").arg(q(m_serial));
}

QStringList FtdiPort::driverLines() const {
    return {QStringLiteral("libftdi1 (FTDI USB, bit-bang)"),
            QStringLiteral("DATA TXD, W_CLK RXD, FQ_UD RTS%1")
                .arg(m_reset ? QStringLiteral(", RESET CTS") : QString()),
            describe(), QStringLiteral("Chosen with --port ftdi[:SERIAL] or Edit > Board...")};
}

void FtdiPort::fail(const QString& what) {
    const std::string why = m_lib.error();
    if (m_open) m_lib.close();
    m_open = false;
    throw portFailure(QStringLiteral("%1: %2").arg(what, q(why)));
}

void FtdiPort::open() {
    const int rc = m_lib.open(m_serial);
    if (rc < 0) {
        const std::string why = m_lib.error();
        const QString which = m_serial.empty() ? QStringLiteral("an FTDI adapter")
                                               : QStringLiteral("FTDI adapter %1").arg(q(m_serial));
        // libftdi's codes from ftdi_usb_find_all/open: -3 none found, -4 and
        // -8 the device cannot be opened (permissions), -5 claimed elsewhere.
        if (rc == -3 || why.find("not found") != std::string::npos)
            throw portFailure(QStringLiteral("no %1 found - is it plugged in?").arg(which));
        if (rc == -4 || rc == -8 || why.find("permission") != std::string::npos)
            throw portFailure(
                QStringLiteral("no permission to open %1 - install the udev rule "
                               "(dist/60-kalimor.rules, see README) and plug it in again")
                    .arg(which));
        throw portFailure(QStringLiteral("cannot open %1: %2").arg(which, q(why)));
    }
    m_open = true;
    const unsigned char outputs = m_reset ? 0x0F : 0x07;
    if (m_lib.setBitmode(outputs, BitbangMode) < 0)
        fail(QStringLiteral("cannot set bit-bang mode"));
    if (m_lib.setBaudrate(BitbangBaud) < 0) fail(QStringLiteral("cannot set the bit-bang rate"));
    if (m_reset) {
        // The module's reset is active high: one pulse, then held low.
        const unsigned char pulse[] = {ResetPin, 0x00};
        if (m_lib.write(pulse, 2) != 2) fail(QStringLiteral("cannot reset the board"));
    }
}

void FtdiPort::write(int, const std::uint8_t* bytes, std::size_t count) {
    if (!m_open) open();
    if (m_lib.write(bytes, static_cast<int>(count)) != static_cast<int>(count))
        fail(QStringLiteral("FTDI adapter lost (unplugged?)"));
}

GpioPort::GpioPort(std::string chip, std::vector<unsigned> pins, GpioLib* lib)
    : m_chip(std::move(chip)), m_pins(std::move(pins)), m_own(lib ? nullptr : GpioLib::makeReal()),
      m_lib(lib ? *lib : *m_own), m_values(m_pins.size(), 0) {}

GpioPort::~GpioPort() {
    if (m_open) m_lib.close();
}

std::optional<GpioLib::Chip> headerChip(const std::vector<GpioLib::Chip>& chips) {
    // Pi 5 (the RP1), Pi 4 and 400, then Pi 1 to 3 and the Zeros. Their
    // expanders ("raspberrypi-exp-gpio") and a Pi 5's SoC chips
    // ("gpio-brcmstb@...") carry no header pin.
    static const char* const labels[] = {"pinctrl-rp1", "pinctrl-bcm2711", "pinctrl-bcm2835"};
    for (const char* label : labels)
        for (const auto& c : chips)
            if (c.label == label) return c;
    return std::nullopt;
}

QString GpioPort::describe() const {
    QStringList pins;
    for (unsigned p : m_pins) pins << QString::number(p);
    QString chip = m_opened.empty() ? q(m_chip) : q(m_opened);
    if (chip.isEmpty())
        chip = QStringLiteral("header");
    else if (!m_chip.empty() && !m_opened.empty() && m_chip != m_opened)
        chip = QStringLiteral("%1 (%2)").arg(q(m_opened), q(m_chip));
    return QStringLiteral("GPIO %1 lines %2").arg(chip, pins.join(QLatin1Char(',')));
}

QStringList GpioPort::driverLines() const {
    return {QStringLiteral("libgpiod (GPIO character device)"),
            QStringLiteral("DATA, W_CLK, FQ_UD%1 in that order")
                .arg(m_pins.size() > 3 ? QStringLiteral(", RESET") : QString()),
            describe(), QStringLiteral("Chosen with --port gpio:CHIP:PINS or Edit > Board...")};
}

void GpioPort::fail(int code, const QString& what) {
    if (m_open) m_lib.close();
    m_open = false;
    throw portFailure(
        QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(-code))));
}

std::string GpioPort::resolveChip() {
    const bool byName = m_chip.rfind("gpiochip", 0) == 0 || m_chip.rfind('/', 0) == 0;
    if (byName) return m_chip;
    // A bare number, as libgpiod 1.6's lookup took it.
    if (!m_chip.empty() && m_chip.find_first_not_of("0123456789") == std::string::npos)
        return "gpiochip" + m_chip;
    const auto chips = m_lib.list();
    if (m_chip.empty()) {
        if (const auto header = headerChip(chips)) return header->name;
        QStringList found;
        for (const auto& c : chips) found << QStringLiteral("%1 [%2]").arg(q(c.name), q(c.label));
        throw portFailure(
            QStringLiteral("no Raspberry Pi header found (GPIO chips here: %1) - name a chip "
                           "with --port gpio:CHIP or in Edit > Board...")
                .arg(found.isEmpty() ? QStringLiteral("none") : found.join(QStringLiteral(", "))));
    }
    for (const auto& c : chips)
        if (c.label == m_chip) return c.name;
    throw portFailure(QStringLiteral("no GPIO chip %1 by that name or label - Edit > Board... "
                                     "lists the chips found")
                          .arg(q(m_chip)));
}

void GpioPort::open() {
    m_opened = resolveChip();
    const QString chip = q(m_opened);
    if (const int rc = m_lib.open(m_opened); rc < 0) {
        if (rc == -ENOENT)
            throw portFailure(QStringLiteral("no GPIO chip %1 - --port gpio finds a Raspberry "
                                             "Pi's header by itself; Edit > Board... lists the "
                                             "chips found")
                                  .arg(chip));
        if (rc == -EACCES || rc == -EPERM)
            throw portFailure(QStringLiteral("no permission to /dev/%1 - add your user to group "
                                             "gpio and log in again")
                                  .arg(chip));
        throw portFailure(QStringLiteral("cannot open GPIO chip %1: %2")
                              .arg(chip, QString::fromLocal8Bit(std::strerror(-rc))));
    }
    m_open = true;
    if (const int rc = m_lib.request(m_pins, "kalimor"); rc < 0) {
        if (rc == -EBUSY) {
            QStringList held;
            for (unsigned p : m_pins)
                if (const std::string who = m_lib.consumer(p); !who.empty())
                    held << QStringLiteral("line %1 by \"%2\"").arg(p).arg(q(who));
            m_lib.close();
            m_open = false;
            throw portFailure(QStringLiteral("GPIO lines in use by another program (%1) - stop it "
                                             "or choose other lines")
                                  .arg(held.join(QStringLiteral(", "))));
        }
        if (rc == -EINVAL) {
            m_lib.close();
            m_open = false;
            throw portFailure(QStringLiteral("%1 has no such lines (%2)").arg(chip, describe()));
        }
        fail(rc, QStringLiteral("cannot take the GPIO lines"));
    }
    if (m_pins.size() > 3) {
        // The module's reset is active high: one pulse, then held low.
        m_values.assign(m_pins.size(), 0);
        m_values[3] = 1;
        if (const int rc = m_lib.set(m_values); rc < 0)
            fail(rc, QStringLiteral("cannot reset the board"));
        m_values[3] = 0;
        if (const int rc = m_lib.set(m_values); rc < 0)
            fail(rc, QStringLiteral("cannot reset the board"));
    }
}

void GpioPort::write(int, const std::uint8_t* bytes, std::size_t count) {
    if (!m_open) open();
    for (std::size_t i = 0; i < count; ++i) {
        m_values[0] = bytes[i] & LineData ? 1 : 0;
        m_values[1] = bytes[i] & LineWClk ? 1 : 0;
        m_values[2] = bytes[i] & LineFqUd ? 1 : 0;
        if (const int rc = m_lib.set(m_values); rc < 0) fail(rc, QStringLiteral("GPIO lines lost"));
    }
}

} // namespace kalimor::dds
