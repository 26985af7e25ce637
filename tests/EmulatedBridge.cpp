#include "EmulatedBridge.h"

#include "dds/PortSpec.h"

extern "C" {
#include <avr_adc.h>
#include <avr_ioport.h>
#include <avr_uart.h>
#include <sim_avr.h>
#include <sim_elf.h>
#include <sim_irq.h>
}

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <pthread.h>
#include <sched.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace {
constexpr std::uint8_t Wclk = 0x01, FqUd = 0x02, Data = 0x04; // PB0, PB1, PB2
constexpr double TurnAround = 500e-6; // seconds from a byte leaving the board to an answer
// Above the program's own real-time threads (SCHED_FIFO 20).
constexpr int BoardPriority = 30;
constexpr std::uint16_t Ucsr0a = 0xC0, Ubrr0l = 0xC4, Ubrr0h = 0xC5, Udr0 = 0xC6;

// Where a variable of the firmware lives in the AVR's data space, from the
// ELF's symbol table (avr-gcc puts data at 0x800000).
std::uint32_t dataAddress(const std::string& elf, const char* name) {
    std::ifstream in(elf, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Elf32_Ehdr header{};
    if (file.size() < sizeof header) return 0;
    std::memcpy(&header, file.data(), sizeof header);
    auto section = [&](int i) {
        Elf32_Shdr s{};
        std::memcpy(&s, file.data() + header.e_shoff + std::size_t(i) * header.e_shentsize,
                    sizeof s);
        return s;
    };
    for (int i = 0; i < header.e_shnum; ++i) {
        const Elf32_Shdr symbols = section(i);
        if (symbols.sh_type != SHT_SYMTAB) continue;
        const Elf32_Shdr names = section(int(symbols.sh_link));
        for (std::size_t at = 0; at + sizeof(Elf32_Sym) <= symbols.sh_size;
             at += sizeof(Elf32_Sym)) {
            Elf32_Sym sym{};
            std::memcpy(&sym, file.data() + symbols.sh_offset + at, sizeof sym);
            if (std::strcmp(file.data() + names.sh_offset + sym.st_name, name) == 0)
                return sym.st_value - 0x800000;
        }
    }
    return 0;
}

int speedOf(speed_t s) {
    switch (s) {
    case B115200:
        return 115200;
    case B500000:
        return 500000;
    case B1000000:
        return 1000000;
    default:
        return 0;
    }
}

// Speeds more than 3 % apart garble every byte.
bool differ(int a, int b) {
    return a > 0 && b > 0 && std::abs(a - b) > 0.03 * b;
}
} // namespace

EmulatedBridge::EmulatedBridge(const std::string& elf) {
    elf_firmware_t firmware{};
    if (elf_read_firmware(elf.c_str(), &firmware) != 0) throw std::runtime_error("no " + elf);
    m_avr = avr_make_mcu_by_name("atmega328p");
    if (!m_avr) throw std::runtime_error("simavr has no atmega328p");
    avr_init(m_avr);
    m_avr->frequency = 16000000;
    m_avr->avcc = m_avr->vcc = m_avr->aref = 5000;
    avr_load_firmware(m_avr, &firmware);
    m_clockAddress = dataAddress(elf, "timerHigh");
    if (m_clockAddress == 0) throw std::runtime_error("no timerHigh in " + elf);
    m_uart = m_avr->io[AVR_DATA_TO_IO(Udr0)].r.param;

    // Our own terminal, so that tests running side by side never meet.
    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    m_slave = ptsname(m_master);
    termios raw{};
    tcgetattr(m_master, &raw);
    cfmakeraw(&raw);
    tcsetattr(m_master, TCSANOW, &raw);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // Opened and closed once, the terminal reads as hung up until the program
    // opens it: that is when the board comes out of reset, as an Arduino's
    // DTR resets it when its port is opened.
    ::close(::open(m_slave.c_str(), O_RDWR | O_NOCTTY));

    std::uint32_t flags = 0;
    avr_ioctl(m_avr, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
    flags &= ~AVR_UART_FLAG_STDIO;
    avr_ioctl(m_avr, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
    avr_irq_register_notify(avr_io_getirq(m_avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT),
                            onUart, this);
    avr_irq_register_notify(avr_io_getirq(m_avr, AVR_IOCTL_IOPORT_GETIRQ('B'), IOPORT_IRQ_PIN_ALL),
                            onPort, this);
    m_thread = std::thread([this] { run(); });
}

EmulatedBridge::~EmulatedBridge() {
    m_stop = true;
    m_thread.join();
    avr_terminate(m_avr);
    close(m_master);
}

int EmulatedBridge::avrBaud() const {
    const int ubrr = m_avr->data[Ubrr0l] | (m_avr->data[Ubrr0h] & 0x0F) << 8;
    const int divider = (m_avr->data[Ucsr0a] & 0x02) ? 8 : 16;
    return int(16e6 * (1 + m_skew.load()) / (divider * (ubrr + 1)));
}

int EmulatedBridge::pendingInput() const {
    const uart_fifo_t& in = static_cast<avr_uart_t*>(m_uart)->input;
    return (in.write - in.read) & (uart_fifo_fifo_size - 1);
}

void EmulatedBridge::setBoardClock(std::uint32_t us) {
    std::lock_guard lock(m_mutex);
    m_setClock = us;
}

void EmulatedBridge::onUart(avr_irq_t*, std::uint32_t value, void* self) {
    auto* b = static_cast<EmulatedBridge*>(self);
    const auto byte = static_cast<std::uint8_t>(value);
    if (!b->m_open) return; // nobody reads: the byte goes nowhere, as on a real board
    if (differ(b->m_hostBaud, b->avrBaud())) {
        ++b->m_crossings; // garbled on the way: the program reads no such byte
        return;
    }
    b->m_lastTxEnd = b->m_avr->cycle + static_cast<avr_uart_t*>(b->m_uart)->cycles_per_byte;
    // Sent as it is written to UDR0: the byte itself takes 10 bits more.
    constexpr std::uint64_t byteCycles = 16000000 / 11520;
    b->m_exchange = b->m_avr->cycle + byteCycles - b->m_requestStart;
    b->m_answered = true;
    if (b->m_delay.load().count() > 0) {
        b->m_outbox.emplace_back(std::chrono::steady_clock::now() + b->m_delay.load(), byte);
        return;
    }
    if (::write(b->m_master, &byte, 1) != 1) {
        // The program closed the port meanwhile.
    }
}

// The pins as the parallel port's lines, so the same emulated chip decodes them.
void EmulatedBridge::onPort(avr_irq_t*, std::uint32_t value, void* self) {
    auto* b = static_cast<EmulatedBridge*>(self);
    std::uint8_t lines = 0;
    if (value & Data) lines |= kalimor::dds::LineData;
    if (value & Wclk) lines |= kalimor::dds::LineWClk;
    if (value & FqUd) lines |= kalimor::dds::LineFqUd;
    if (lines == b->m_lines) return;
    b->m_lines = lines;
    const std::uint64_t before = b->m_chip.updates();
    b->m_chip.feed(lines);
    if (b->m_chip.updates() != before) {
        std::lock_guard lock(b->m_mutex);
        // A load shifts in 40 bits; the W_CLK-then-FQ_UD pulse that puts the
        // chip into serial mode after reset shifts in one.
        if (b->m_chip.state().clocks == 40) {
            b->m_latched.push_back(b->m_chip.state());
            b->m_latchCycles.push_back(b->m_avr->cycle);
            b->m_latchTimes.push_back(b->trueTime());
            if (b->m_detector)
                avr_raise_irq(avr_io_getirq(b->m_avr, AVR_IOCTL_ADC_GETIRQ, ADC_IRQ_ADC0),
                              b->m_detector(b->m_chip.state().ftw * 100e6 / 4294967296.0));
        } else {
            ++b->m_serialEntries;
        }
    }
}

std::vector<kalimor::dds::DdsState> EmulatedBridge::latched() {
    std::lock_guard lock(m_mutex);
    return m_latched;
}

std::vector<std::uint64_t> EmulatedBridge::latchCycles() {
    std::lock_guard lock(m_mutex);
    return m_latchCycles;
}

std::vector<double> EmulatedBridge::latchTimes() {
    std::lock_guard lock(m_mutex);
    return m_latchTimes;
}

std::unique_ptr<kalimor::dds::PortBackend> EmulatedBridge::port() {
    QString why;
    return kalimor::dds::makeBackend(*kalimor::dds::parsePortSpec(
        QStringLiteral("serial:") + QString::fromStdString(device()), &why));
}

double EmulatedBridge::meanLatchPeriodMs() {
    const auto times = latchTimes();
    if (times.size() < 2) return 0;
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t i = 0; i < times.size(); ++i) {
        const double x = double(i), y = (times[i] - times[0]) * 1e3;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const double n = double(times.size());
    return (n * sxy - sx * sy) / (n * sxx - sx * sx);
}

int EmulatedBridge::serialEntries() {
    std::lock_guard lock(m_mutex);
    return m_serialEntries;
}

void EmulatedBridge::setAnalog(int channel, std::uint32_t millivolts) {
    std::lock_guard lock(m_mutex);
    m_analog.emplace_back(channel, millivolts);
}

void EmulatedBridge::setDetector(std::function<std::uint32_t(double)> millivolts) {
    std::lock_guard lock(m_mutex);
    m_detector = std::move(millivolts);
}

void EmulatedBridge::reset() {
    std::lock_guard lock(m_mutex);
    m_reset = true;
}

void EmulatedBridge::writeClock(std::uint32_t us) {
    const std::uint32_t count = us >> 15; // overflows of Timer1 at 2 MHz
    for (std::uint32_t i = 0; i < 4; ++i)
        m_avr->data[m_clockAddress + i] = std::uint8_t(count >> (8 * i));
}

// The firmware starts again; its clock where the test put it, as RAM keeps
// what it held across a reset.
void EmulatedBridge::restart() {
    avr_reset(m_avr);
    if (m_clockAtReset) writeClock(*m_clockAtReset);
}

// Keeps the AVR's cycles no further ahead of real time than its resonator
// would be.
void EmulatedBridge::pace() {
    const auto avrTime = std::chrono::nanoseconds(
        std::int64_t(double(m_avr->cycle - m_cycleStart) * 1e9 / (16e6 * (1 + m_skew.load()))));
    const auto ahead = avrTime - (std::chrono::steady_clock::now() - m_wallStart);
    if (ahead > std::chrono::microseconds(200)) std::this_thread::sleep_for(ahead);
}

// The cycle a board that is never starved would be at now.
std::uint64_t EmulatedBridge::wallCycle() const {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_wallStart).count();
    return m_cycleStart + std::uint64_t(elapsed * 16e6 * (1 + m_skew.load()));
}

double EmulatedBridge::trueTime() const {
    if (!m_realTime)
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_born).count();
    // Where the board's own clock puts this cycle: a host that starves the
    // emulation for a while delays the work, not the instant a real board,
    // with a processor of its own, would have done it.
    return std::chrono::duration<double>(m_wallStart - m_born).count() +
           double(m_avr->cycle - m_cycleStart) / (16e6 * (1 + m_skew.load()));
}

void EmulatedBridge::run() {
    m_wallStart = std::chrono::steady_clock::now();
    m_cycleStart = m_avr->cycle;
    bool ownProcessor = false;
    while (!m_stop) {
        // A real board has a processor of its own: ahead of the program's
        // real-time threads and the machine's other load where we may say
        // so (root, as in CI); elsewhere the catch-up below keeps its clock.
        if (m_realTime && !ownProcessor) {
            ownProcessor = true;
            sched_param p{};
            p.sched_priority = BoardPriority;
            if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) != 0) {
                // Not allowed: normal priority.
            }
        }
        {
            std::lock_guard lock(m_mutex);
            for (auto [channel, mv] : m_analog)
                avr_raise_irq(avr_io_getirq(m_avr, AVR_IOCTL_ADC_GETIRQ, ADC_IRQ_ADC0 + channel),
                              mv);
            m_analog.clear();
            if (m_reset) {
                restart();
                m_toAvr.clear();
                m_reset = false;
            }
            if (m_setClock) {
                writeClock(*m_setClock);
                m_clockAtReset = m_setClock;
                m_setClock.reset();
            }
        }
        std::uint8_t buffer[64];
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        const bool open = !(n < 0 && errno == EIO); // EIO: nobody has the port open
        // A board no program has opened yet waits, so that an idle one costs
        // the machine nothing.
        if (!open && !m_everOpened) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        m_everOpened = m_everOpened || open;
        if (open != m_open) {
            m_wallStart = std::chrono::steady_clock::now();
            m_cycleStart = m_avr->cycle;
        }
        if (open && !m_open) {
            if (m_resetOnOpen) restart();
            m_toAvr.clear();
            m_outbox.clear();
            m_wallStart = std::chrono::steady_clock::now();
            m_cycleStart = m_avr->cycle;
        }
        m_open = open;
        if (m_open) {
            termios t{};
            // A speed the bridge never uses (a terminal's default) is taken
            // as the board's own.
            if (tcgetattr(m_master, &t) == 0) m_hostBaud = speedOf(cfgetospeed(&t));
            if (m_hostBaud == 0) m_hostBaud = avrBaud();
        }
        for (const auto now = std::chrono::steady_clock::now();
             !m_outbox.empty() && m_outbox.front().first <= now; m_outbox.pop_front())
            if (::write(m_master, &m_outbox.front().second, 1) != 1) {
                // As above: nobody reads.
            }
        // A byte's stop bit arrives one byte time (10 bits at the program's
        // speed) after the one before it, or after it was written.
        const double cyclesPerSecond = 16e6 * (1 + m_skew.load());
        // And no sooner than a USB chip and a program could answer what the
        // board sent last (the emulation's time runs apart from the
        // program's, ahead or behind, as the machine's load allows).
        // Nor before the board's clock reaches the moment the bytes were
        // read: an emulation the machine starved catches up first, so a
        // real board's clock never reads earlier than the bytes were sent.
        if (m_toAvr.empty() && n > 0)
            m_nextByte = std::max({m_nextByte,
                                   m_avr->cycle + std::uint64_t(10 * cyclesPerSecond / m_hostBaud),
                                   m_lastTxEnd + std::uint64_t(TurnAround * cyclesPerSecond),
                                   m_realTime ? wallCycle() : 0});
        for (ssize_t i = 0; i < n; ++i) m_toAvr.emplace_back(buffer[i], m_hostBaud);
        // simavr paces the firmware's reads to one a byte time (of 11 bits,
        // and of U2X as it was when UBRR0 was written; the firmware sets it
        // after), so a reader a little late never catches up, where the
        // chip lets it read both waiting bytes at once. The bytes come here
        // at the wire's pace; simavr's own is set to twice that.
        static_cast<avr_uart_t*>(m_uart)->cycles_per_byte =
            avr_cycle_count_t(5 * ((m_avr->data[Ucsr0a] & 0x02) ? 8 : 16) *
                              ((m_avr->data[Ubrr0l] | (m_avr->data[Ubrr0h] & 0x0F) << 8) + 1));
        for (int i = 0; i < 200; ++i) {
            if (!m_toAvr.empty() && m_avr->cycle >= m_nextByte) {
                const auto [byte, baud] = m_toAvr.front();
                m_toAvr.pop_front();
                m_nextByte += std::uint64_t(10 * cyclesPerSecond / baud);
                if (differ(baud, avrBaud())) {
                    ++m_crossings;
                } else if (pendingInput() >= 3) {
                    ++m_overruns; // two in the buffer and one in the shift register
                } else {
                    if (m_answered) m_requestStart = m_avr->cycle;
                    m_answered = false;
                    avr_raise_irq(avr_io_getirq(m_avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT),
                                  byte);
                }
            }
            const int state = avr_run(m_avr);
            if (state == cpu_Done || state == cpu_Crashed) return;
        }
        m_cycles = m_avr->cycle;
        // A board nobody talks to runs at its own pace too.
        if (m_realTime || !m_open) pace();
    }
}
