#pragma once

#include "dds/Ad9850.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct avr_t;
struct avr_irq_t;

// The real bridge firmware on an emulated ATmega328P at 16 MHz (simavr): its
// UART joined to a pseudo-terminal of this harness's own, its pins D8..D11
// decoded edge by edge by the project's emulated AD9850, and its analog
// input A0 fed by the test.
class EmulatedBridge {
public:
    explicit EmulatedBridge(const std::string& elf);
    ~EmulatedBridge();

    // The terminal the program opens, like /dev/ttyUSB0.
    const std::string& device() const { return m_slave; }
    // Every load (40 bits) the emulated chip latched, in order.
    std::vector<kalimor::dds::DdsState> latched();
    // Serial-mode entries: the firmware's W_CLK then FQ_UD after each reset.
    int serialEntries();
    // The voltage on an analog input, in millivolts (AVcc is 5000 mV).
    void setAnalog(int channel, std::uint32_t millivolts);
    // A detector behind a device on the board's output: after each load,
    // A0 gets the millivolts this gives for the frequency latched (at a
    // 100 MHz reference clock).
    void setDetector(std::function<std::uint32_t(double hz)> millivolts);
    // The AVR's cycle at each latch, in order (16 per microsecond).
    std::vector<std::uint64_t> latchCycles();
    // Runs the AVR no faster than real time, as a board does, so that its
    // own clock and the program's agree (simavr alone runs as fast as it can).
    void setRealTime(bool on) { m_realTime = on; }
    // Holds every byte the board sends this long before the program sees it,
    // as a USB serial chip's latency timer does (16 ms on an FT232R).
    void setReplyDelay(std::chrono::milliseconds delay) { m_delay = delay; }
    // Presses the board's reset: the firmware starts again.
    void reset();
    // The AVR's clock, to turn its cycles into real time.
    std::uint64_t cycles() const { return m_cycles.load(); }
    // AVR cycles from the first byte of the last request reaching the UART to
    // the last byte of its answer leaving it: the exchange as the wire sees it,
    // without the emulation's own pace.
    std::uint64_t lastExchangeCycles() const { return m_exchange.load(); }

private:
    void run();
    static void onUart(avr_irq_t*, std::uint32_t value, void* self);
    static void onPort(avr_irq_t*, std::uint32_t value, void* self);
    static void onXon(avr_irq_t*, std::uint32_t, void* self);
    static void onXoff(avr_irq_t*, std::uint32_t, void* self);

    avr_t* m_avr = nullptr;
    int m_master = -1;
    std::string m_slave;
    bool m_xon = true;
    bool m_open = false;
    std::deque<std::uint8_t> m_toAvr;
    std::uint8_t m_lines = 0;
    kalimor::dds::Ad9850 m_chip;
    std::mutex m_mutex; // latched loads and pending commands
    std::vector<kalimor::dds::DdsState> m_latched;
    std::vector<std::uint64_t> m_latchCycles;
    std::atomic<bool> m_realTime{false};
    std::atomic<std::chrono::milliseconds> m_delay{std::chrono::milliseconds(0)};
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::uint8_t>> m_outbox;
    std::chrono::steady_clock::time_point m_wallStart;
    std::uint64_t m_cycleStart = 0;
    int m_serialEntries = 0;
    std::vector<std::pair<int, std::uint32_t>> m_analog;
    std::function<std::uint32_t(double)> m_detector;
    bool m_reset = false;
    std::atomic<std::uint64_t> m_cycles{0};
    std::atomic<std::uint64_t> m_exchange{0};
    std::uint64_t m_requestStart = 0;
    bool m_answered = true;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
