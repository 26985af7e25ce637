#include "Port.h"

#include "core/Error.h"
#include "dds/BoardClock.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define KALIMOR_HAVE_PORT_IO 1
#endif

namespace kalimor::dds {

namespace {

const auto programStart = std::chrono::steady_clock::now();

QString hexAddress(int address) {
    return QStringLiteral("0x%1").arg(QString::number(address, 16).toUpper());
}

Error portError(const QString& description) {
    return Error(err::PortAccess, QStringLiteral("Port"), description);
}

QString errnoText(int e) {
    return QString::fromLocal8Bit(std::strerror(e));
}

std::atomic<const BoardClock*> traceClock{nullptr};

} // namespace

double secondsSinceStart() {
    const BoardClock* clock = traceClock.load();
    const auto now = clock ? clock->now() : std::chrono::steady_clock::now();
    return std::chrono::duration<double>(now - programStart).count();
}

void stampTracesFrom(const BoardClock* clock) {
    traceClock = clock;
}

int SysCalls::open(const char* path, int flags) {
    return ::open(path, flags);
}
int SysCalls::ioctl(int fd, unsigned long request, void* arg) {
    return ::ioctl(fd, request, arg);
}
int SysCalls::close(int fd) {
    return ::close(fd);
}

int SysCalls::ioperm(unsigned long from, unsigned long count, int turnOn) {
#ifdef KALIMOR_HAVE_PORT_IO
    return ::ioperm(from, count, turnOn);
#else
    (void)from, (void)count, (void)turnOn;
    errno = ENOSYS;
    return -1;
#endif
}

void SysCalls::outb(std::uint8_t value, std::uint16_t port) {
#ifdef KALIMOR_HAVE_PORT_IO
    ::outb(value, port);
#else
    (void)value, (void)port;
#endif
}

SysCalls& SysCalls::real() {
    static SysCalls calls;
    return calls;
}

// ---------------------------------------------------------------- ppdev

PpdevPort::PpdevPort(std::optional<QString> device, SysCalls& sys, Paths paths)
    : m_named(std::move(device)), m_sys(sys), m_paths(std::move(paths)) {}

PpdevPort::~PpdevPort() {
    release();
}

void PpdevPort::release() {
    if (m_fd < 0) return;
    m_sys.ioctl(m_fd, PPRELEASE, nullptr);
    m_sys.close(m_fd);
    m_fd = -1;
    m_address = -1;
}

std::vector<std::pair<QString, int>> PpdevPort::listPorts() const {
    std::vector<std::pair<QString, int>> ports;
    const QDir dir(m_paths.proc);
    const QStringList names =
        dir.entryList({QStringLiteral("parport*")}, QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names) {
        QFile f(dir.filePath(name + QStringLiteral("/base-addr")));
        if (!f.open(QIODevice::ReadOnly)) continue;
        // "888\t1912": the data register first, the ECR second.
        const QByteArray first = f.readAll().simplified().split(' ').value(0);
        bool ok = false;
        const int base =
            first.startsWith("0x") ? first.mid(2).toInt(&ok, 16) : first.toInt(&ok, 10);
        if (ok) ports.emplace_back(name, base);
    }
    return ports;
}

QString PpdevPort::findDevice(int address) const {
    const auto ports = listPorts();
    QStringList found;
    for (const auto& [name, base] : ports) {
        if (base == address) return m_paths.dev + QLatin1Char('/') + name;
        found << QStringLiteral("%1 at %2").arg(name, hexAddress(base));
    }
    const QString seen = found.isEmpty()
                             ? QStringLiteral("found none - is the parport_pc module loaded?")
                             : QStringLiteral("found: ") + found.join(QStringLiteral(", "));
    throw portError(QStringLiteral("no parallel port at %1 (%2)").arg(hexAddress(address), seen));
}

void PpdevPort::write(int address, const std::uint8_t* bytes, std::size_t count) {
    if (m_fd >= 0 && !m_named && address != m_address) release();
    if (m_fd < 0) {
        const QString device = m_named ? *m_named : findDevice(address);
        const QByteArray path = QFile::encodeName(device);
        const int fd = m_sys.open(path.constData(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            const int e = errno;
            QString hint;
            if (e == EACCES || e == EPERM)
                hint = QStringLiteral(" - add your user to group lp");
            else if (e == ENOENT)
                hint = QStringLiteral(" - load the ppdev module (modprobe ppdev)");
            throw portError(QStringLiteral("cannot open %1: %2%3").arg(device, errnoText(e), hint));
        }
        if (m_sys.ioctl(fd, PPEXCL, nullptr) < 0 || m_sys.ioctl(fd, PPCLAIM, nullptr) < 0) {
            const int e = errno;
            m_sys.close(fd);
            throw portError(
                QStringLiteral(
                    "cannot claim %1: %2 - is another program (lp, CUPS) using the port?")
                    .arg(device, errnoText(e)));
        }
        m_fd = fd;
        m_address = address;
        m_device = device;
    }
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char b = bytes[i];
        if (m_sys.ioctl(m_fd, PPWDATA, &b) < 0) {
            const int e = errno;
            const QString device = m_device;
            release();
            throw portError(QStringLiteral("write to %1 failed: %2").arg(device, errnoText(e)));
        }
    }
}

QString PpdevPort::describe() const {
    if (m_fd >= 0) return QStringLiteral("%1 at %2").arg(m_device, hexAddress(m_address));
    if (m_named) return *m_named;
    return QStringLiteral("ppdev (not opened yet)");
}

QStringList PpdevPort::driverLines() const {
    return {QStringLiteral("Linux parport driver (ppdev)"),
            QStringLiteral("Linux kernel: parport, parport_pc, ppdev (GPL-2.0)"),
            QStringLiteral("Device: ") + describe(),
            QStringLiteral("See the kernel's parport documentation")};
}

// ---------------------------------------------------------------- direct I/O

DirectIoPort::DirectIoPort(SysCalls& sys) : m_sys(sys) {}

DirectIoPort::~DirectIoPort() {
    if (m_enabled >= 0) m_sys.ioperm(static_cast<unsigned long>(m_enabled), 1, 0);
}

void DirectIoPort::write(int address, const std::uint8_t* bytes, std::size_t count) {
#ifndef KALIMOR_HAVE_PORT_IO
    (void)address, (void)bytes, (void)count;
    throw portError(
        QStringLiteral("direct port I/O is only available on x86 - use --port /dev/parportN"));
#else
    if (address < 0 || address > 0xFFFF)
        throw portError(QStringLiteral("port address %1 is outside the I/O space").arg(address));
    if (m_enabled != address) {
        if (m_enabled >= 0) m_sys.ioperm(static_cast<unsigned long>(m_enabled), 1, 0);
        m_enabled = -1;
        if (m_sys.ioperm(static_cast<unsigned long>(address), 1, 1) < 0) {
            const int e = errno;
            QString hint;
            if (e == EPERM)
                hint = QStringLiteral(" - needs CAP_SYS_RAWIO: run as root or grant it with "
                                      "setcap cap_sys_rawio+ep");
            throw portError(QStringLiteral("direct port I/O at %1 refused: %2%3")
                                .arg(hexAddress(address), errnoText(e), hint));
        }
        m_enabled = address;
    }
    for (std::size_t i = 0; i < count; ++i)
        m_sys.outb(bytes[i], static_cast<std::uint16_t>(address));
#endif
}

QString DirectIoPort::describe() const {
    if (m_enabled >= 0) return QStringLiteral("direct I/O at %1").arg(hexAddress(m_enabled));
    return QStringLiteral("direct I/O");
}

QStringList DirectIoPort::driverLines() const {
    return {QStringLiteral("Direct port I/O (ioperm, outb)"),
            QStringLiteral("Linux I/O permission bitmap, x86 only"),
            QStringLiteral("Needs CAP_SYS_RAWIO; ") + describe(),
            QStringLiteral("See man 2 ioperm and man 2 outb")};
}

// ---------------------------------------------------------------- simulated board

QStringList SimulatedBoard::driverLines() const {
    return {QStringLiteral("Simulated board (built in)"),
            QStringLiteral("Decodes the byte stream as an AD9850 would"),
            QStringLiteral("Writes no hardware; --trace FILE logs loads"),
            QStringLiteral("Chosen with --simulate or --port sim")};
}

Ad9850 SimulatedBoard::chip() const {
    std::lock_guard lock(m_mutex);
    return m_chip;
}

std::vector<DdsState> SimulatedBoard::loads() const {
    std::lock_guard lock(m_mutex);
    return m_loads;
}

std::uint64_t SimulatedBoard::loadCount() const {
    std::lock_guard lock(m_mutex);
    return m_count;
}

int SimulatedBoard::lastAddress() const {
    std::lock_guard lock(m_mutex);
    return m_lastAddress;
}

void SimulatedBoard::clearLoads() {
    std::lock_guard lock(m_mutex);
    m_loads.clear();
    m_count = 0;
}

void SimulatedBoard::write(int address, const std::uint8_t* bytes, std::size_t count) {
    std::lock_guard lock(m_mutex);
    m_lastAddress = address;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t before = m_chip.updates();
        m_chip.feed(bytes[i]);
        if (m_chip.updates() == before) continue;
        // Dropping the older half at twice the history keeps the cost per
        // load constant and the memory bounded.
        if (m_loads.size() >= 2 * History)
            m_loads.erase(m_loads.begin(), m_loads.begin() + std::ptrdiff_t(History));
        m_loads.push_back(m_chip.state());
        ++m_count;
    }
}

// ---------------------------------------------------------------- trace

TracingPort::TracingPort(std::unique_ptr<PortBackend> inner, const QString& path)
    : m_inner(std::move(inner)), m_path(path) {
    m_fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                  0644);
    if (m_fd < 0)
        throw portError(
            QStringLiteral("cannot write trace file %1: %2").arg(path, errnoText(errno)));
    m_line.reserve(512);
    // Room made now, so that queuing a line allocates nothing on a load's thread.
    m_slots = std::make_unique<std::string[]>(QueueLines);
    for (std::size_t i = 0; i < QueueLines; ++i) m_slots[i].reserve(512);
    m_writer = std::thread([this] { drain(); });
}

TracingPort::~TracingPort() {
    m_stop.store(true);
    m_kick.fetch_add(1, std::memory_order_release);
    m_kick.notify_one();
    m_writer.join();
    if (m_fd >= 0) ::close(m_fd);
}

QString TracingPort::traceProblem() const {
    if (!m_troubled.load(std::memory_order_acquire)) return QString();
    std::lock_guard lock(m_problemMutex);
    return m_problem;
}

QString TracingPort::describe() const {
    // Asked after every load: the whole trace costs no lock.
    if (!m_troubled.load(std::memory_order_acquire)) return m_inner->describe();
    return QStringLiteral("%1 - %2 (%3 loads missing)")
        .arg(m_inner->describe(), traceProblem())
        .arg(m_missing.load());
}

void TracingPort::noteMissing(const QString& why) {
    m_missing.fetch_add(1);
    if (m_troubled.load(std::memory_order_acquire)) return;
    {
        std::lock_guard lock(m_problemMutex);
        m_problem = why;
    }
    m_troubled.store(true, std::memory_order_release);
    std::fprintf(stderr, "kalimor: %s\n", qPrintable(why));
}

void TracingPort::append(const char* line, std::size_t length) {
    // One thread loads at a time (the board's, or one loading in its stead
    // under the board's lock), so the queue has one producer.
    const std::uint64_t head = m_head.load(std::memory_order_relaxed);
    if (head - m_tail.load(std::memory_order_acquire) >= QueueLines) {
        // Counted here, told by the writer, which may print.
        m_dropped.fetch_add(1, std::memory_order_relaxed);
    } else {
        m_slots[head % QueueLines].assign(line, length);
        m_head.store(head + 1, std::memory_order_release);
    }
    m_kick.fetch_add(1, std::memory_order_release);
    m_kick.notify_one();
}

void TracingPort::drain() {
    pthread_setname_np(pthread_self(), "trace");
    for (;;) {
        const std::uint32_t kick = m_kick.load(std::memory_order_acquire);
        const std::uint64_t head = m_head.load(std::memory_order_acquire);
        for (std::uint64_t tail = m_tail.load(std::memory_order_relaxed); tail < head; ++tail) {
            writeOut(m_slots[tail % QueueLines]);
            m_tail.store(tail + 1, std::memory_order_release);
        }
        if (const std::uint64_t dropped = m_dropped.exchange(0)) {
            for (std::uint64_t i = 1; i < dropped; ++i) m_missing.fetch_add(1);
            noteMissing(QStringLiteral("trace %1 fell behind the loads").arg(m_path));
        }
        m_tail.notify_all(); // flush() may be waiting
        if (m_stop.load() && m_head.load(std::memory_order_acquire) == head) return;
        m_kick.wait(kick, std::memory_order_acquire);
    }
}

void TracingPort::flush() {
    const std::uint64_t head = m_head.load(std::memory_order_acquire);
    for (std::uint64_t tail; (tail = m_tail.load(std::memory_order_acquire)) < head;)
        m_tail.wait(tail, std::memory_order_acquire);
}

void TracingPort::writeOut(const std::string& line) {
    const off_t before = ::lseek(m_fd, 0, SEEK_END);
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(m_fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done == line.size()) return;
    const int why = errno;
    // Half a line would make the whole trace unreadable to a JSON-lines
    // reader: take it back.
    if (done > 0 && before >= 0 && ::ftruncate(m_fd, before) != 0) {
        // Nothing more can be done; the next reader sees one cut line.
    }
    noteMissing(QStringLiteral("trace %1 not written: %2").arg(m_path, errnoText(why)));
}

void TracingPort::write(int address, const std::uint8_t* bytes, std::size_t count) {
    m_inner->write(address, bytes, count);
    trace(address, bytes, count);
}

void TracingPort::writeAhead(int address, const std::uint8_t* bytes, std::size_t count) {
    m_inner->writeAhead(address, bytes, count);
    trace(address, bytes, count);
}

void TracingPort::trace(int address, const std::uint8_t* bytes, std::size_t count) {
    // Stamped at the load, whenever the writer gets to it.
    const double at = secondsSinceStart();
    m_chip.feed(bytes, count);
    static const char digits[] = "0123456789abcdef";
    const DdsState& s = m_chip.state();
    char head[96], tail[160];
    std::snprintf(head, sizeof head, "{\"t\": %.6f, \"port\": %d, \"bytes\": \"", at, address);
    std::snprintf(tail, sizeof tail,
                  "\", \"ftw\": %u, \"phase\": %d, \"power_down\": %d, \"control\": %u, "
                  "\"clocks\": %d}\n",
                  static_cast<unsigned>(s.ftw), s.phase, s.powerDown ? 1 : 0,
                  static_cast<unsigned>(s.control), s.clocks);
    m_line.assign(head);
    for (std::size_t i = 0; i < count; ++i) {
        m_line += digits[bytes[i] >> 4];
        m_line += digits[bytes[i] & 0xF];
    }
    m_line += tail;
    append(m_line.data(), m_line.size());
}

void TracingPort::traceScanned(int address, std::uint32_t word, std::uint8_t control) {
    // The stream a load of this word sends, LSB first, as the chip shifts it in.
    std::uint8_t bytes[82];
    const std::uint64_t bits = word | std::uint64_t(control) << 32;
    for (int k = 0; k < 40; ++k) {
        const std::uint8_t bit = std::uint8_t((bits >> k) & 1);
        bytes[2 * k] = bit;
        bytes[2 * k + 1] = bit | LineWClk;
    }
    bytes[80] = LineFqUd;
    bytes[81] = 0;
    m_chip.feed(bytes, sizeof bytes);
    const DdsState& s = m_chip.state();
    std::string line;
    line.reserve(400);
    char head[96], tail[192];
    std::snprintf(head, sizeof head, "{\"t\": %.6f, \"port\": %d, \"bytes\": \"",
                  secondsSinceStart(), address);
    line += head;
    static const char digits[] = "0123456789abcdef";
    for (std::uint8_t b : bytes) {
        line += digits[b >> 4];
        line += digits[b & 0xF];
    }
    std::snprintf(tail, sizeof tail,
                  "\", \"ftw\": %u, \"phase\": %d, \"power_down\": %d, \"control\": %u, "
                  "\"clocks\": %d, \"scanned\": true}\n",
                  static_cast<unsigned>(s.ftw), s.phase, s.powerDown ? 1 : 0,
                  static_cast<unsigned>(s.control), s.clocks);
    line += tail;
    append(line.data(), line.size());
}

} // namespace kalimor::dds
