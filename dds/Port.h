#pragma once

#include "dds/Ad9850.h"
#include "dds/Capabilities.h"

#include <QString>
#include <QStringList>

#include <atomic>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kalimor::dds {

class BoardClock;

// The system calls the hardware back-ends make, behind one seam so that tests
// can check the exact sequence without a parallel port.
class SysCalls {
public:
    virtual ~SysCalls() = default;
    virtual int open(const char* path, int flags);
    virtual int ioctl(int fd, unsigned long request, void* arg);
    virtual int close(int fd);
    virtual int ioperm(unsigned long from, unsigned long count, int turnOn);
    virtual void outb(std::uint8_t value, std::uint16_t port);

    static SysCalls& real();
};

// One operation: write bytes, in order, to the I/O port at an address.
class PortBackend {
public:
    virtual ~PortBackend() = default;
    // Writes `count` bytes to the data register at `address`, one port write
    // per byte, in order. Raises kalimor::Error when they cannot reach it; the
    // next call tries again from scratch.
    virtual void write(int address, const std::uint8_t* bytes, std::size_t count) = 0;
    // The same where the port need not wait for the board to answer before
    // it returns: the answer is read by a later call, which raises what it
    // told (the bridge). Loads stay in order, and a later write waits for
    // every answer owed. Elsewhere it is write.
    virtual void writeAhead(int address, const std::uint8_t* bytes, std::size_t count) {
        write(address, bytes, count);
    }
    // What the user is driving: "Simulated board", "/dev/parport0 at 0x378".
    virtual QString describe() const = 0;
    // Four lines about the driver behind this back-end, for the About box:
    // its name, where it comes from, how it is reached, where to read more.
    virtual QStringList driverLines() const { return {describe()}; }
    // Whether a keyed controller (a beacon, the keyer, PTT keying) holds the
    // board. A port whose hardware can keep the carrier safe by itself when
    // the host falls silent (the bridge's dead-man timer) arms that guard
    // while keyed and disarms it otherwise; the others ignore it. Called on
    // the board's thread; raises what the port raised.
    virtual void setKeyed(bool keyed) { (void)keyed; }
    // Called on the board's thread at least every 500 ms while keyed, so a
    // guard armed by setKeyed hears from the host; a no-op elsewhere.
    virtual void keepAlive() {}
    // What only some ports can do (dds/Capabilities.h); nullptr where this
    // one cannot.
    virtual AnalogInput* analogInput() { return nullptr; }
    virtual TimedQueue* timedQueue() { return nullptr; }
    virtual BoardScan* boardScan() { return nullptr; }
};

// The kernel's user-space parallel-port device. Without a named device it finds
// the /dev/parportN whose base address is the requested one and reopens when
// the address changes; the claim is kept across loads.
struct PpdevPaths {
    QString proc = QStringLiteral("/proc/sys/dev/parport");
    QString dev = QStringLiteral("/dev");
};

class PpdevPort : public PortBackend {
public:
    using Paths = PpdevPaths;
    explicit PpdevPort(std::optional<QString> device = std::nullopt,
                       SysCalls& sys = SysCalls::real(), Paths paths = {});
    ~PpdevPort() override;

    void write(int address, const std::uint8_t* bytes, std::size_t count) override;
    QString describe() const override;
    QStringList driverLines() const override;

    // parportN -> base address, as the kernel lists them.
    std::vector<std::pair<QString, int>> listPorts() const;

private:
    void release();
    QString findDevice(int address) const;

    std::optional<QString> m_named;
    SysCalls& m_sys;
    Paths m_paths;
    int m_fd = -1;
    int m_address = -1;
    QString m_device;
};

// Direct port I/O on x86: ioperm once per address, then outb per byte.
class DirectIoPort : public PortBackend {
public:
    explicit DirectIoPort(SysCalls& sys = SysCalls::real());
    ~DirectIoPort() override;
    void write(int address, const std::uint8_t* bytes, std::size_t count) override;
    QString describe() const override;
    QStringList driverLines() const override;

private:
    SysCalls& m_sys;
    int m_enabled = -1;
};

// The simulated board: the bytes drive an emulated AD9850, and the updates
// it latches are kept so that callers can see what the board received: the
// last History of them at least, so memory stays flat however long it runs.
class SimulatedBoard : public PortBackend {
public:
    static constexpr std::size_t History = 8192;

    void write(int address, const std::uint8_t* bytes, std::size_t count) override;
    QString describe() const override { return QStringLiteral("Simulated board"); }
    QStringList driverLines() const override;

    // Copies, under the lock: the board's thread loads while windows and
    // tests read.
    Ad9850 chip() const;
    // One entry per frequency update, oldest first: the last History or more.
    std::vector<DdsState> loads() const;
    // Every update since the start or the last clearLoads.
    std::uint64_t loadCount() const;
    int lastAddress() const;
    void clearLoads();

private:
    mutable std::mutex m_mutex;
    Ad9850 m_chip;
    std::vector<DdsState> m_loads;
    std::uint64_t m_count = 0;
    int m_lastAddress = -1;
};

// Appends one JSON line per load that reached the inner back-end, decoded by
// its own emulated chip so the trace shows what the board received, not what
// the caller meant to send.
//
// The line is stamped at the load and handed to a writer thread of the
// trace's own through a bounded queue the loading thread never waits on: a
// file system that stalls (a busy disk, an SD card, a network home) must not
// move the next load. Only when the queue is full is a line dropped, and
// counted.
//
// A trace that cannot be written (a full disk) never stops a load and never
// leaves a cut line: a line that did not go out whole is taken back, and the
// first failure is logged (kalimor.trace, on stderr) and named by describe()
// from then on, for the status line.
class TracingPort : public PortBackend {
public:
    // Lines the writer may fall behind by before they are dropped: seconds
    // of a beacon or a sweep, a third of a second of a network client's
    // fastest sets.
    static constexpr std::size_t QueueLines = 4096;

    // Opens the file for appending; raises kalimor::Error when it cannot.
    TracingPort(std::unique_ptr<PortBackend> inner, const QString& path);
    // Writes what is queued, then closes the file.
    ~TracingPort() override;
    void write(int address, const std::uint8_t* bytes, std::size_t count) override;
    void writeAhead(int address, const std::uint8_t* bytes, std::size_t count) override;
    // A word the board loaded by itself (the bridge's scan), traced as the
    // stream that loads it and marked "scanned".
    void traceScanned(int address, std::uint32_t word, std::uint8_t control);
    QString describe() const override;
    // Why lines are missing from the trace; empty while it is whole.
    QString traceProblem() const;
    QStringList driverLines() const override { return m_inner->driverLines(); }
    void setKeyed(bool keyed) override { m_inner->setKeyed(keyed); }
    void keepAlive() override { m_inner->keepAlive(); }
    PortBackend& inner() { return *m_inner; }
    // Waits until every line handed over so far is in the file or counted
    // missing.
    void flush();

private:
    std::unique_ptr<PortBackend> m_inner;
    // Hands one whole line (its '\n' included) to the writer; never waits.
    void append(const char* line, std::size_t length);
    // The writer's thread.
    void drain();
    void writeOut(const std::string& line);
    void noteMissing(const QString& why);
    // The line of a load that reached the inner back-end.
    void trace(int address, const std::uint8_t* bytes, std::size_t count);

    int m_fd = -1;
    QString m_path;
    std::string m_line; // the loading thread's
    Ad9850 m_chip;

    std::unique_ptr<std::string[]> m_slots;
    std::atomic<std::uint64_t> m_head{0};    // lines handed over
    std::atomic<std::uint64_t> m_tail{0};    // lines the writer is done with
    std::atomic<std::uint32_t> m_kick{0};    // bumped for each line, the writer waits on it
    std::atomic<std::uint64_t> m_missing{0}; // loads not in the trace
    std::atomic<std::uint64_t> m_dropped{0}; // of those, the queue had no room for
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_troubled{false};
    mutable std::mutex m_problemMutex;
    QString m_problem;
    std::thread m_writer; // last: it starts once everything above is made
};

// Seconds since the program started, as the trace records them.
double secondsSinceStart();
// Reads the traces' times from `clock` (the board's, when it is not the
// system's) rather than the system's; null: the system's again.
void stampTracesFrom(const BoardClock* clock);

} // namespace kalimor::dds
