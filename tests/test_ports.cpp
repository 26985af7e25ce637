#include "LoadStream.h"
#include "Raised.h"
#include "SmallDisk.h"
#include "core/Error.h"
#include "dds/Port.h"
#include "dds/UsbGpioPorts.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace kalimor;
using namespace kalimor::dds;

namespace {

// Stands at the system-call boundary and records what the back-ends ask of
// the kernel; each call can be told to fail with an errno.
class FakeSys : public SysCalls {
public:
    int open(const char* path, int) override {
        log.push_back(std::string("open ") + path);
        if (openErrno) return errno = openErrno, -1;
        return nextFd++;
    }
    int ioctl(int fd, unsigned long request, void* arg) override {
        std::string name = request == PPEXCL      ? "PPEXCL"
                           : request == PPCLAIM   ? "PPCLAIM"
                           : request == PPRELEASE ? "PPRELEASE"
                           : request == PPWDATA   ? "PPWDATA"
                                                  : "?";
        if (request == PPWDATA) {
            data.push_back(*static_cast<unsigned char*>(arg));
            if (failWriteAfter >= 0 && static_cast<int>(data.size()) > failWriteAfter)
                return errno = ENODEV, -1;
            return 0;
        }
        log.push_back(name + " " + std::to_string(fd));
        if (request == PPCLAIM && claimErrno) return errno = claimErrno, -1;
        return 0;
    }
    int close(int fd) override {
        log.push_back("close " + std::to_string(fd));
        return 0;
    }
    int ioperm(unsigned long from, unsigned long count, int on) override {
        log.push_back("ioperm " + std::to_string(from) + " " + std::to_string(count) + " " +
                      std::to_string(on));
        if (on && iopermErrno) return errno = iopermErrno, -1;
        return 0;
    }
    void outb(std::uint8_t value, std::uint16_t port) override {
        data.push_back(value);
        ports.push_back(port);
    }

    std::vector<std::string> log;
    std::vector<std::uint8_t> data;
    std::vector<std::uint16_t> ports;
    int nextFd = 10;
    int openErrno = 0, claimErrno = 0, iopermErrno = 0;
    int failWriteAfter = -1;
};

class Ppdev : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        addPort("parport0", "888\t1912\n");
        addPort("parport1", "632\t-1\n");
        paths.proc = dir.path();
        paths.dev = QStringLiteral("/dev");
        for (int i = 0; i < 82; ++i) stream.push_back(static_cast<std::uint8_t>(i & 7));
    }
    void addPort(const char* name, const char* baseAddr) {
        QDir(dir.path()).mkpath(QString::fromLatin1(name));
        QFile f(dir.filePath(QString::fromLatin1(name) + "/base-addr"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(baseAddr);
    }
    QString failure(PortBackend& port, int address) {
        try {
            port.write(address, stream.data(), stream.size());
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), err::PortAccess);
            return e.description();
        }
        return {};
    }

    QTemporaryDir dir;
    PpdevPort::Paths paths;
    FakeSys sys;
    std::vector<std::uint8_t> stream;
};

} // namespace

TEST_F(Ppdev, FindsTheDeviceByBaseAddressAndKeepsTheClaim) {
    PpdevPort port(std::nullopt, sys, paths);
    port.write(0x378, stream.data(), stream.size());
    port.write(0x378, stream.data(), stream.size());
    EXPECT_EQ(sys.log, (std::vector<std::string>{"open /dev/parport0", "PPEXCL 10", "PPCLAIM 10"}));
    ASSERT_EQ(sys.data.size(), 164u);
    EXPECT_TRUE(std::equal(stream.begin(), stream.end(), sys.data.begin()));
    EXPECT_EQ(port.describe(), QStringLiteral("/dev/parport0 at 0x378"));
}

TEST_F(Ppdev, ReopensWhenTheAddressChanges) {
    PpdevPort port(std::nullopt, sys, paths);
    port.write(0x378, stream.data(), stream.size());
    port.write(0x278, stream.data(), stream.size());
    EXPECT_EQ(sys.log, (std::vector<std::string>{"open /dev/parport0", "PPEXCL 10", "PPCLAIM 10",
                                                 "PPRELEASE 10", "close 10", "open /dev/parport1",
                                                 "PPEXCL 11", "PPCLAIM 11"}));
}

TEST_F(Ppdev, NamedDeviceIgnoresDiscovery) {
    PpdevPort port(QStringLiteral("/dev/parport3"), sys, paths);
    port.write(0x3FE, stream.data(), stream.size());
    EXPECT_EQ(sys.log.front(), "open /dev/parport3");
}

TEST_F(Ppdev, FailuresSayWhatToDo) {
    {
        PpdevPort port(std::nullopt, sys, paths);
        EXPECT_EQ(failure(port, 0x3FE),
                  QStringLiteral(
                      "no parallel port at 0x3FE (found: parport0 at 0x378, parport1 at 0x278)"));
    }
    {
        PpdevPort::Paths empty = paths;
        empty.proc = dir.filePath(QStringLiteral("nothing-here"));
        PpdevPort port(std::nullopt, sys, empty);
        EXPECT_TRUE(
            failure(port, 0x378).contains(QStringLiteral("is the parport_pc module loaded?")));
    }
    {
        sys.openErrno = EACCES;
        PpdevPort port(std::nullopt, sys, paths);
        EXPECT_EQ(failure(port, 0x378),
                  QStringLiteral(
                      "cannot open /dev/parport0: Permission denied - add your user to group lp"));
        sys.openErrno = 0;
    }
    {
        sys.claimErrno = EBUSY;
        sys.log.clear();
        PpdevPort port(std::nullopt, sys, paths);
        EXPECT_TRUE(failure(port, 0x378).startsWith(QStringLiteral("cannot claim /dev/parport0")));
        EXPECT_EQ(sys.log.back(), "close 10") << "a refused claim must not leak the descriptor";
        sys.claimErrno = 0;
    }
}

TEST_F(Ppdev, DeviceGoneMidLoadReopensNextTime) {
    PpdevPort port(std::nullopt, sys, paths);
    sys.failWriteAfter = 5;
    EXPECT_TRUE(failure(port, 0x378).startsWith(QStringLiteral("write to /dev/parport0 failed")));
    sys.failWriteAfter = -1;
    sys.log.clear();
    port.write(0x378, stream.data(), stream.size());
    EXPECT_EQ(sys.log.front(), "open /dev/parport0");
}

TEST_F(Ppdev, ReleasesOnDestruction) {
    {
        PpdevPort port(std::nullopt, sys, paths);
        port.write(0x378, stream.data(), stream.size());
    }
    EXPECT_EQ(sys.log.back(), "close 10");
    EXPECT_EQ(sys.log[sys.log.size() - 2], "PPRELEASE 10");
}

#if defined(__x86_64__) || defined(__i386__)
TEST_F(Ppdev, DirectIoAsksOncePerAddress) {
    {
        DirectIoPort port(sys);
        port.write(0x378, stream.data(), stream.size());
        port.write(0x378, stream.data(), stream.size());
        port.write(0x278, stream.data(), stream.size());
    }
    EXPECT_EQ(sys.log, (std::vector<std::string>{"ioperm 888 1 1", "ioperm 888 1 0",
                                                 "ioperm 632 1 1", "ioperm 632 1 0"}));
    EXPECT_EQ(sys.data.size(), 3 * 82u);
    EXPECT_EQ(sys.ports.front(), 0x378);
    EXPECT_EQ(sys.ports.back(), 0x278);
}

TEST_F(Ppdev, DirectIoRefusedNamesTheCapability) {
    sys.iopermErrno = EPERM;
    DirectIoPort port(sys);
    EXPECT_TRUE(failure(port, 0x378).contains(QStringLiteral("CAP_SYS_RAWIO")));
    EXPECT_TRUE(sys.data.empty());
    EXPECT_TRUE(failure(port, -2).contains(QStringLiteral("outside the I/O space")));
}
#endif

TEST(Trace, OneLinePerLoadDecodedFromTheBytes) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("trace.jsonl"));
    {
        TracingPort port(std::make_unique<SimulatedBoard>(), path);
        std::vector<std::uint8_t> s;
        for (int k = 0; k < 40; ++k) {
            const std::uint8_t bit = (k == 0 || k == 34) ? 1 : 0; // ftw 1, power-down
            s.push_back(bit);
            s.push_back(bit | 2);
        }
        s.push_back(4);
        s.push_back(0);
        port.write(888, s.data(), s.size());
        port.write(888, s.data(), s.size());
    }
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = f.readAll().split('\n');
    ASSERT_EQ(lines.size(), 3); // two lines and the empty rest
    const QByteArray& line = lines[0];
    EXPECT_TRUE(line.contains("\"port\": 888"));
    EXPECT_TRUE(line.contains("\"ftw\": 1,"));
    EXPECT_TRUE(line.contains("\"power_down\": 1"));
    EXPECT_TRUE(line.contains("\"control\": 4"));
    EXPECT_TRUE(line.contains("\"clocks\": 40"));
    EXPECT_TRUE(line.contains("\"bytes\": \"0103000200020002"));
}

TEST(Trace, UnwritableFileIsRefused) {
    EXPECT_THROW(
        TracingPort(std::make_unique<SimulatedBoard>(), QStringLiteral("/nonexistent/dir/trace")),
        Error);
}

TEST(Trace, FullDiskLosesNoLoadAndCutsNoLine) {
    SmallDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    disk.fill(4096); // room for about ten lines
    const QString path = disk.path(QStringLiteral("trace.jsonl"));
    std::vector<std::uint8_t> bytes;
    for (int k = 0; k < 40; ++k)
        bytes.insert(bytes.end(), {std::uint8_t(k == 3), std::uint8_t(2 | (k == 3))});
    bytes.insert(bytes.end(), {4, 0});
    auto board = std::make_unique<SimulatedBoard>();
    SimulatedBoard* inner = board.get();
    TracingPort port(std::move(board), path);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 20; ++i) port.write(888, bytes.data(), bytes.size());
    port.flush();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(inner->loads().size(), 20u) << "the board gets every load";
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    EXPECT_TRUE(text.isEmpty() || text.endsWith("}\n")) << "a cut line";
    const int lines = int(text.count('\n'));
    EXPECT_GT(lines, 0);
    EXPECT_LT(lines, 20);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_TRUE(port.describe().contains(QStringLiteral("No space left on device")));
    EXPECT_TRUE(port.describe().endsWith(QStringLiteral("(%1 loads missing)").arg(20 - lines)));
}

// A trace file that stops taking lines (here a pipe nobody reads) holds up
// no load: what the queue has no room for is dropped, counted and told.
TEST(Trace, StalledFileHoldsUpNoLoad) {
    QTemporaryDir dir;
    const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("trace")));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    auto board = std::make_unique<SimulatedBoard>();
    SimulatedBoard* inner = board.get();
    auto port = std::make_unique<TracingPort>(std::move(board), QString::fromLocal8Bit(fifo));
    const std::vector<std::uint8_t> bytes = loadStream(1000);
    constexpr int Loads = int(TracingPort::QueueLines) * 2;
    testing::internal::CaptureStderr();
    for (int i = 0; i < Loads; ++i) port->write(888, bytes.data(), bytes.size());
    EXPECT_EQ(inner->loads().size(), size_t(Loads));
    // Reading lets the writer finish; the file closes when the port goes.
    QString described;
    std::thread closer([&] {
        port->flush();
        described = port->describe();
        port.reset();
    });
    ::fcntl(reader, F_SETFL, 0);
    QByteArray text;
    char buf[65536];
    for (ssize_t n; (n = ::read(reader, buf, sizeof buf)) != 0;)
        if (n > 0) text.append(buf, n);
    closer.join();
    ::close(reader);
    const std::string err = testing::internal::GetCapturedStderr();
    const int lines = int(text.count('\n'));
    EXPECT_GE(lines, int(TracingPort::QueueLines));
    EXPECT_LT(lines, Loads);
    EXPECT_TRUE(text.endsWith("}\n"));
    EXPECT_TRUE(described.endsWith(QStringLiteral("(%1 loads missing)").arg(Loads - lines)))
        << described.toStdString();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

// ---------------------------------------------------------------- FTDI and GPIO

namespace {

// libftdi1 as the FTDI back-end sees it: every call recorded, and the answer
// of each scripted.
class FakeFtdi : public FtdiLib {
public:
    int open(const std::string& serial) override {
        calls.push_back("open " + serial);
        return openResult;
    }
    int setBitmode(unsigned char outputs, unsigned char mode) override {
        calls.push_back("bitmode " + std::to_string(outputs) + " " + std::to_string(mode));
        return 0;
    }
    int setBaudrate(int baud) override {
        calls.push_back("baud " + std::to_string(baud));
        return 0;
    }
    int write(const unsigned char* bytes, int count) override {
        calls.push_back("write " + std::to_string(count));
        written.emplace_back(bytes, bytes + count);
        return unplugged ? -666 : count;
    }
    void close() override { calls.push_back("close"); }
    std::string error() override { return errorText; }
    std::vector<Device> list() override { return {}; }

    std::vector<std::string> calls;
    std::vector<std::vector<unsigned char>> written;
    int openResult = 0;
    bool unplugged = false;
    std::string errorText = "USB device unavailable";
};

class FakeGpio : public GpioLib {
public:
    int open(const std::string& chip) override {
        calls.push_back("open " + chip);
        return openResult;
    }
    int request(const std::vector<unsigned>& offsets, const char*) override {
        std::string s = "request";
        for (unsigned o : offsets) {
            // Not s += " " + ...: GCC 12 at -O3 (the package's build) warns of a
            // false overlap in that temporary (-Wrestrict).
            s += ' ';
            s += std::to_string(o);
        }
        calls.push_back(s);
        return requestResult;
    }
    int set(const std::vector<int>& values) override {
        std::string s;
        for (int v : values) s += char('0' + v);
        changes.push_back(s);
        return 0;
    }
    void close() override { calls.push_back("close"); }
    std::string consumer(unsigned offset) override { return offset == 23 ? "pigpiod" : ""; }
    std::vector<Chip> list() override { return chips; }

    std::vector<Chip> chips;
    std::vector<std::string> calls, changes;
    int openResult = 0, requestResult = 0;
};

} // namespace

TEST(Ftdi, OpensInBitbangAndSendsEachLoadInOneWrite) {
    for (bool reset : {false, true}) {
        FakeFtdi lib;
        FtdiPort port("A1B2C3", reset, &lib);
        const auto bytes = loadStream(302365698);
        port.write(0, bytes.data(), bytes.size());
        port.write(0, bytes.data(), bytes.size());
        std::vector<std::string> expected = {"open A1B2C3", reset ? "bitmode 15 1" : "bitmode 7 1",
                                             "baud 115200"};
        if (reset) expected.push_back("write 2"); // the reset pulse
        expected.insert(expected.end(), {"write 82", "write 82"});
        EXPECT_EQ(lib.calls, expected) << reset;
        // The pins are the stream itself: what the chip decodes is the load.
        Ad9850 chip;
        chip.feed(lib.written.back().data(), lib.written.back().size());
        EXPECT_EQ(chip.state().ftw, 302365698u);
        if (reset) {
            EXPECT_EQ(lib.written[0], (std::vector<unsigned char>{0x08, 0x00}));
        }
    }
}

TEST(Ftdi, FailuresSayWhatToDoAndTheNextLoadReopens) {
    struct Case {
        int openResult;
        std::string errorText;
        const char* says;
    } cases[] = {
        {-3, "device not found", "no FTDI adapter A1 found - is it plugged in?"},
        {-8, "inappropriate permissions on device!", "install the udev rule"},
        {-5, "unable to claim usb device", "cannot open FTDI adapter A1: unable to claim"},
    };
    const auto bytes = loadStream(1);
    for (const auto& c : cases) {
        FakeFtdi lib;
        lib.openResult = c.openResult;
        lib.errorText = c.errorText;
        FtdiPort port("A1", false, &lib);
        const Raised r = raised([&] { port.write(0, bytes.data(), bytes.size()); });
        EXPECT_EQ(r.number, err::PortAccess);
        EXPECT_TRUE(r.description.contains(QString::fromLatin1(c.says)))
            << qPrintable(r.description);
    }
    // Unplugged mid-sweep: the failed write closes the link; re-plugged, the
    // next load opens it again.
    FakeFtdi lib;
    FtdiPort port("", false, &lib);
    port.write(0, bytes.data(), bytes.size());
    lib.unplugged = true;
    const Raised lost = raised([&] { port.write(0, bytes.data(), bytes.size()); });
    EXPECT_TRUE(lost.description.startsWith(QStringLiteral("FTDI adapter lost")));
    EXPECT_EQ(lib.calls.back(), "close");
    lib.unplugged = false;
    port.write(0, bytes.data(), bytes.size());
    EXPECT_EQ(std::count(lib.calls.begin(), lib.calls.end(), "open "), 2);
}

TEST(Gpio, EachByteIsOneChangeOfTheLines) {
    FakeGpio lib;
    GpioPort port("gpiochip0", {25, 23, 24, 22}, &lib);
    const auto bytes = loadStream(5);
    port.write(0, bytes.data(), bytes.size());
    EXPECT_EQ(lib.calls, (std::vector<std::string>{"open gpiochip0", "request 25 23 24 22"}));
    ASSERT_EQ(lib.changes.size(), 2u + 82u); // the reset pulse, then one per byte
    EXPECT_EQ(lib.changes[0], "0001");
    EXPECT_EQ(lib.changes[1], "0000");
    // DATA, W_CLK, FQ_UD, RESET: bit 0 of the word is 1.
    EXPECT_EQ(lib.changes[2], "1000");
    EXPECT_EQ(lib.changes[3], "1100");
    EXPECT_EQ(lib.changes[2 + 80], "0010"); // the update strobe
    EXPECT_EQ(lib.changes.back(), "0000");
}

TEST(Gpio, FailuresNameTheCauseAndTheFix) {
    struct Case {
        int openResult, requestResult;
        const char* says;
    } cases[] = {
        {-ENOENT, 0, "no GPIO chip gpiochip0"},
        {-EACCES, 0, "add your user to group gpio"},
        {0, -EBUSY, "in use by another program (line 23 by \"pigpiod\")"},
        {0, -EINVAL, "has no such lines"},
    };
    const auto bytes = loadStream(5);
    for (const auto& c : cases) {
        FakeGpio lib;
        lib.openResult = c.openResult;
        lib.requestResult = c.requestResult;
        GpioPort port("gpiochip0", {25, 23, 24}, &lib);
        const Raised r = raised([&] { port.write(0, bytes.data(), bytes.size()); });
        EXPECT_EQ(r.number, err::PortAccess);
        EXPECT_TRUE(r.description.contains(QString::fromLatin1(c.says)))
            << qPrintable(r.description);
        EXPECT_TRUE(lib.changes.empty());
    }
}

// The header's chip is found by its label on every Pi, whatever its number.
TEST(Gpio, TheHeadersChipIsFoundByItsLabel) {
    using Chips = std::vector<GpioLib::Chip>;
    const Chips pi5Before = {{"gpiochip0", "gpio-brcmstb@107d508500", 32},
                             {"gpiochip1", "gpio-brcmstb@107d508520", 4},
                             {"gpiochip2", "gpio-brcmstb@107d517c00", 17},
                             {"gpiochip3", "gpio-brcmstb@107d517c20", 6},
                             {"gpiochip4", "pinctrl-rp1", 54}};
    const Chips pi5After = {{"gpiochip0", "pinctrl-rp1", 54},
                            {"gpiochip10", "gpio-brcmstb@107d508500", 32},
                            {"gpiochip11", "gpio-brcmstb@107d508520", 4},
                            {"gpiochip12", "gpio-brcmstb@107d517c00", 17},
                            {"gpiochip13", "gpio-brcmstb@107d517c20", 6}};
    const Chips pi4 = {{"gpiochip0", "pinctrl-bcm2711", 58},
                       {"gpiochip1", "raspberrypi-exp-gpio", 8}};
    const Chips pi3 = {{"gpiochip0", "pinctrl-bcm2835", 54},
                       {"gpiochip1", "raspberrypi-exp-gpio", 8}};
    const Chips pc = {{"gpiochip0", "INT34C6:00", 463}, {"gpiochip1", "ftdi-cbus", 4}};
    struct Case {
        const char* machine;
        const Chips& chips;
        std::string chosen; // the --port gpio:CHIP text
        const char* opens;  // or the refusal's words
    } cases[] = {
        {"Pi 5, kernel before 6.6.45", pi5Before, "", "open gpiochip4"},
        {"Pi 5, kernel 6.6.45 on", pi5After, "", "open gpiochip0"},
        {"Pi 4", pi4, "", "open gpiochip0"},
        {"Pi 3", pi3, "", "open gpiochip0"},
        {"a PC", pc, "", "no Raspberry Pi header found (GPIO chips here: gpiochip0 [INT34C6:00]"},
        {"no chips", {}, "", "no Raspberry Pi header found (GPIO chips here: none)"},
        {"Pi 5 by label", pi5Before, "pinctrl-rp1", "open gpiochip4"},
        {"a label not here", pi4, "pinctrl-rp1", "no GPIO chip pinctrl-rp1 by that name"},
        {"by number", pi5Before, "4", "open gpiochip4"},
        {"by name, not listed", pi4, "gpiochip4", "open gpiochip4"},
    };
    const auto bytes = loadStream(5);
    for (const auto& c : cases) {
        FakeGpio lib;
        lib.chips = c.chips;
        GpioPort port(c.chosen, {25, 23, 24}, &lib);
        const std::string opens = c.opens;
        if (opens.rfind("open ", 0) == 0) {
            port.write(0, bytes.data(), bytes.size());
            EXPECT_EQ(lib.calls.front(), opens) << c.machine;
        } else {
            const Raised r = raised([&] { port.write(0, bytes.data(), bytes.size()); });
            EXPECT_TRUE(r.description.startsWith(QString::fromStdString(opens)))
                << c.machine << ": " << qPrintable(r.description);
            EXPECT_TRUE(lib.calls.empty()) << c.machine;
        }
    }
}
