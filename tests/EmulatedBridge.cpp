#include "EmulatedBridge.h"

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
#include <fcntl.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace {
constexpr std::uint8_t Wclk = 0x01, FqUd = 0x02, Data = 0x04; // PB0, PB1, PB2
}

EmulatedBridge::EmulatedBridge(const std::string& elf) {
    elf_firmware_t firmware{};
    if (elf_read_firmware(elf.c_str(), &firmware) != 0) throw std::runtime_error("no " + elf);
    m_avr = avr_make_mcu_by_name("atmega328p");
    if (!m_avr) throw std::runtime_error("simavr has no atmega328p");
    avr_init(m_avr);
    m_avr->frequency = 16000000;
    m_avr->avcc = m_avr->vcc = m_avr->aref = 5000;
    avr_load_firmware(m_avr, &firmware);

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
    avr_irq_register_notify(avr_io_getirq(m_avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XON),
                            onXon, this);
    avr_irq_register_notify(avr_io_getirq(m_avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XOFF),
                            onXoff, this);
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

void EmulatedBridge::onUart(avr_irq_t*, std::uint32_t value, void* self) {
    auto* b = static_cast<EmulatedBridge*>(self);
    const auto byte = static_cast<std::uint8_t>(value);
    // Sent as it is written to UDR0: the byte itself takes 10 bits more.
    constexpr std::uint64_t byteCycles = 16000000 / 11520;
    b->m_exchange = b->m_avr->cycle + byteCycles - b->m_requestStart;
    b->m_answered = true;
    if (b->m_delay.load().count() > 0) {
        b->m_outbox.emplace_back(std::chrono::steady_clock::now() + b->m_delay.load(), byte);
        return;
    }
    if (::write(b->m_master, &byte, 1) != 1) {
        // Nobody has the terminal open: the byte goes nowhere, as on a real board.
    }
}

void EmulatedBridge::onXon(avr_irq_t*, std::uint32_t, void* self) {
    static_cast<EmulatedBridge*>(self)->m_xon = true;
}

void EmulatedBridge::onXoff(avr_irq_t*, std::uint32_t, void* self) {
    static_cast<EmulatedBridge*>(self)->m_xon = false;
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

void EmulatedBridge::run() {
    while (!m_stop) {
        {
            std::lock_guard lock(m_mutex);
            for (auto [channel, mv] : m_analog)
                avr_raise_irq(avr_io_getirq(m_avr, AVR_IOCTL_ADC_GETIRQ, ADC_IRQ_ADC0 + channel),
                              mv);
            m_analog.clear();
            if (m_reset) {
                avr_reset(m_avr);
                m_toAvr.clear();
                m_reset = false;
            }
        }
        std::uint8_t buffer[64];
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n < 0 && errno == EIO) { // nobody has the port open: the board waits in reset
            m_open = false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (!m_open) {
            m_open = true;
            avr_reset(m_avr);
            m_toAvr.clear();
            m_outbox.clear();
            m_wallStart = std::chrono::steady_clock::now();
            m_cycleStart = m_avr->cycle;
        }
        for (const auto now = std::chrono::steady_clock::now();
             !m_outbox.empty() && m_outbox.front().first <= now; m_outbox.pop_front())
            if (::write(m_master, &m_outbox.front().second, 1) != 1) {
                // As above: nobody reads.
            }
        for (ssize_t i = 0; i < n; ++i) m_toAvr.push_back(buffer[i]);
        if (m_xon && !m_toAvr.empty()) {
            if (m_answered) m_requestStart = m_avr->cycle;
            m_answered = false;
            avr_raise_irq(avr_io_getirq(m_avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT),
                          m_toAvr.front());
            m_toAvr.pop_front();
        }
        for (int i = 0; i < 200; ++i) {
            const int state = avr_run(m_avr);
            if (state == cpu_Done || state == cpu_Crashed) return;
        }
        m_cycles = m_avr->cycle;
        if (m_realTime) {
            const auto avrTime =
                std::chrono::nanoseconds((m_avr->cycle - m_cycleStart) * 1000 / 16);
            const auto ahead = avrTime - (std::chrono::steady_clock::now() - m_wallStart);
            if (ahead > std::chrono::microseconds(200)) std::this_thread::sleep_for(ahead);
        }
    }
}
