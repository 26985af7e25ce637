#pragma once

#include "dds/Ad9850.h"
#include "dds/Port.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct avr_t;
struct avr_irq_t;

// The real bridge firmware on an emulated ATmega328P at 16 MHz (simavr): its
// UART joined to a pseudo-terminal of this harness's own, its pins D8..D11
// decoded edge by edge by the project's emulated AD9850, and its analog
// input A0 fed by the test.
//
// The board has what real ones have: bytes from the program arrive at the
// wire's pace of the program's speed, and the receiver holds two bytes and
// the one in its shift register, so a byte that comes while three wait
// unread is lost (an overrun); a byte sent while the two ends' speeds differ
// arrives garbled, here not at all, and is counted; the resonator may run a
// given fraction fast or slow; the port's open may leave the board running
// (no reset); and the firmware keeps running while no program has the port.
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
    // The real time of each latch, in seconds since construction. In real
    // time, the instant the board's own clock says: a machine too loaded to
    // run the emulation at the board's pace delays what the board hears (as
    // USB latency does), never where its clock stands, so neither the latches
    // nor the clock the program samples move with the load.
    std::vector<double> latchTimes();
    // Where latchTimes count from.
    std::chrono::steady_clock::time_point born() const { return m_born; }
    // The program's back-end for this board, as --port serial:DEVICE makes it.
    std::unique_ptr<kalimor::dds::PortBackend> port();
    // The mean period between latches in true time, in ms: the slope of a
    // line through their times. 0 under two latches.
    double meanLatchPeriodMs();
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
    // A resonator `fraction` fast (0.005) or slow (-0.005): in real time the
    // AVR runs 16 MHz x (1 + fraction) cycles a second.
    void setClockError(double fraction) { m_skew = fraction; }
    // True seconds at an AVR cycle count (the board's clock error taken out).
    double trueSeconds(std::uint64_t cycles) const {
        return double(cycles) / (16e6 * (1 + m_skew));
    }
    // Whether opening the port resets the board (an Arduino's DTR through its
    // capacitor); a cut jumper or a separately powered board does not reset.
    void setResetOnOpen(bool on) { m_resetOnOpen = on; }
    // Sets the firmware's microsecond clock (its overflow count) near `us`,
    // to run a test across the clock's wrap.
    void setBoardClock(std::uint32_t us);
    // Bytes lost to the receiver's overrun, and bytes sent while the two
    // ends' speeds differed, since construction.
    int overruns() const { return m_overruns.load(); }
    int crossings() const { return m_crossings.load(); }
    // AVR cycles from the first byte of the last request reaching the UART to
    // the last byte of its answer leaving it: the exchange as the wire sees it,
    // without the emulation's own pace.
    std::uint64_t lastExchangeCycles() const { return m_exchange.load(); }

private:
    void run();
    static void onUart(avr_irq_t*, std::uint32_t value, void* self);
    static void onPort(avr_irq_t*, std::uint32_t value, void* self);
    int avrBaud() const;
    int pendingInput() const;
    void pace();
    std::uint64_t wallCycle() const;
    // Seconds since construction at the AVR's present cycle.
    double trueTime() const;
    void writeClock(std::uint32_t us);
    void restart();

    avr_t* m_avr = nullptr;
    int m_master = -1;
    std::string m_slave;
    bool m_open = false;
    bool m_everOpened = false;
    std::deque<std::pair<std::uint8_t, int>> m_toAvr; // each byte with the speed it was sent at
    std::uint64_t m_lastTxEnd = 0;                    // the cycle the board's last byte has left by
    std::uint64_t m_nextByte = 0; // the AVR cycle at which the next byte's stop bit has arrived
    int m_hostBaud = 0;
    void* m_uart = nullptr;           // simavr's UART, for its receive buffer
    std::uint32_t m_clockAddress = 0; // the firmware's overflow count, in data space
    std::atomic<double> m_skew{0};
    std::atomic<bool> m_resetOnOpen{true};
    std::optional<std::uint32_t> m_setClock, m_clockAtReset;
    std::atomic<int> m_overruns{0}, m_crossings{0};
    std::uint8_t m_lines = 0;
    kalimor::dds::Ad9850 m_chip;
    std::mutex m_mutex; // latched loads and pending commands
    std::vector<kalimor::dds::DdsState> m_latched;
    std::vector<std::uint64_t> m_latchCycles;
    std::vector<double> m_latchTimes;
    std::atomic<bool> m_realTime{false};
    std::atomic<std::chrono::milliseconds> m_delay{std::chrono::milliseconds(0)};
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::uint8_t>> m_outbox;
    std::chrono::steady_clock::time_point m_wallStart, m_born = std::chrono::steady_clock::now();
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
