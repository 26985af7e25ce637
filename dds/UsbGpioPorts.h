#pragma once

#include "dds/Port.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kalimor::dds {

// What the FTDI back-end asks of libftdi1, behind one seam so that tests see
// every call without an adapter. Each returns libftdi's code (0 or more: done;
// negative: failed, with error() telling why).
class FtdiLib {
public:
    struct Device {
        std::string serial, description;
    };
    virtual ~FtdiLib() = default;
    // Finds the FTDI adapter with this serial number (empty: the first one)
    // and opens it, the kernel's serial driver detached until close.
    virtual int open(const std::string& serial) = 0;
    virtual int setBitmode(unsigned char outputs, unsigned char mode) = 0;
    virtual int setBaudrate(int baud) = 0;
    virtual int write(const unsigned char* bytes, int count) = 0;
    virtual void close() = 0;
    virtual std::string error() = 0;
    virtual std::vector<Device> list() = 0;

    // libftdi1 itself; one per link, as each holds its own context.
    static std::unique_ptr<FtdiLib> makeReal();
};

// An AD9850 module on an FTDI adapter (FT232R, FT232H, FT2232, FT4232) in
// asynchronous bit-bang mode, wired as the parallel port's lines are: DATA on
// the first pin (TXD / ADBUS0), W_CLK on the second (RXD / ADBUS1), FQ_UD on
// the third (RTS / ADBUS2), RESET optionally on the fourth (CTS / ADBUS3),
// held low and pulsed once when the link opens. The 82-byte stream is the pin
// sequence itself, so a load is one write: one USB transfer. A failed write
// closes the link; the next load opens it again (a re-plugged adapter works).
class FtdiPort : public PortBackend {
public:
    static constexpr int BitbangBaud = 115200;
    // `lib` null: the real libftdi1.
    FtdiPort(std::string serial, bool withReset, FtdiLib* lib = nullptr);
    ~FtdiPort() override;
    void write(int address, const std::uint8_t* bytes, std::size_t count) override;
    QString describe() const override;
    QStringList driverLines() const override;

private:
    void open();
    [[noreturn]] void fail(const QString& what);

    std::string m_serial;
    bool m_reset;
    std::unique_ptr<FtdiLib> m_own;
    FtdiLib& m_lib;
    bool m_open = false;
};

// What the GPIO back-end asks of libgpiod (the 1.6 API or 2.x, whichever the
// build found), behind one seam. Each returns 0 on success or a negative errno.
class GpioLib {
public:
    struct Chip {
        std::string name, label;
        unsigned lines = 0;
    };
    virtual ~GpioLib() = default;
    // `chip` is a name from list() ("gpiochip0") or a path.
    virtual int open(const std::string& chip) = 0;
    // Requests the lines as outputs, low.
    virtual int request(const std::vector<unsigned>& offsets, const char* consumer) = 0;
    virtual int set(const std::vector<int>& values) = 0;
    virtual void close() = 0;
    // Who holds a line already, as the kernel names it.
    virtual std::string consumer(unsigned offset) = 0;
    virtual std::vector<Chip> list() = 0;

    // libgpiod itself; one per link.
    static std::unique_ptr<GpioLib> makeReal();
};

// The chip that carries a Raspberry Pi's 40-pin header, known by its label:
// the number is no guide, since a Pi 5's header moved from gpiochip4 to
// gpiochip0 with kernel 6.6.45. Empty on a machine without one.
std::optional<GpioLib::Chip> headerChip(const std::vector<GpioLib::Chip>& chips);

// An AD9850 module on a Raspberry Pi's header through the GPIO character
// device: three output lines (DATA, W_CLK, FQ_UD), optionally a fourth for
// RESET (held low, pulsed once when the lines are taken). Each of the 82
// bytes becomes one change of the lines' values.
class GpioPort : public PortBackend {
public:
    // BCM numbering, the wiring most published AD9850 projects on the Pi use.
    static constexpr unsigned DefaultPins[] = {25, 23, 24, 22};
    // `chip`: a name, a path, a label, or empty for the header's chip, looked
    // up at each open. `lib` null: the real libgpiod.
    GpioPort(std::string chip, std::vector<unsigned> pins, GpioLib* lib = nullptr);
    ~GpioPort() override;
    void write(int address, const std::uint8_t* bytes, std::size_t count) override;
    QString describe() const override;
    QStringList driverLines() const override;

private:
    void open();
    std::string resolveChip();
    [[noreturn]] void fail(int code, const QString& what);

    std::string m_chip;
    std::string m_opened; // the chip m_chip named at the last open
    std::vector<unsigned> m_pins;
    std::unique_ptr<GpioLib> m_own;
    GpioLib& m_lib;
    bool m_open = false;
    std::vector<int> m_values;
};

} // namespace kalimor::dds
