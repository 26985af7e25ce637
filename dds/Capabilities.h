#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace kalimor::dds {

// What only some ports can do, offered by PortBackend's analogInput(),
// timedQueue() and boardScan(): a port that has none returns nullptr, so the
// board asks for a part by what it does, never by the port's class.

// An analog input on the board (the bridge's A0 and up).
class AnalogInput {
public:
    virtual ~AnalogInput() = default;
    // The average of `samples` (1..64) readings of input `channel`, in ADC
    // steps (0..1023) with the fraction the average keeps.
    virtual double readAnalog(int channel, int samples) = 0;
};

// Loads the board latches by its own clock, queued ahead by the host: immune
// to USB latency and host load.
class TimedQueue {
public:
    using HostClock = std::chrono::steady_clock;
    struct QueuedLoad {
        std::uint32_t dueUs = 0; // on the board's clock
        std::uint32_t word = 0;
        std::uint8_t control = 0;
    };
    struct Latched {
        std::uint32_t count = 0, dueUs = 0, word = 0;
        std::uint8_t control = 0;
        std::uint16_t worstLateUs = 0;
    };
    // What the board says as it takes queued loads.
    struct QueueReply {
        int free = 0;              // slots left
        std::uint32_t nowUs = 0;   // its clock
        std::uint32_t latched = 0; // loads latched from the queue since its reset
        std::uint16_t late = 0;    // of those, latched more than 500 us after their time
    };
    static constexpr int QueueSlots = 32;
    static constexpr int LoadsPerFrame = 3;

    virtual ~TimedQueue() = default;
    // Whether the board behind the port has the queue; opens the link first
    // when it is not open, so it may take a while (a bridge resets).
    virtual bool hasQueue() = 0;
    virtual std::uint32_t boardTimeUs() = 0;
    // Up to LoadsPerFrame loads, due in rising order.
    virtual QueueReply queue(const std::vector<QueuedLoad>& loads) = 0;
    // Our time `t` on the board's clock, in microseconds counted on past 2^32.
    virtual std::optional<double> boardAt(HostClock::time_point t) const = 0;
    // Board microseconds per microsecond of ours.
    virtual double clockRatio() const = 0;
    virtual std::optional<double> clockErrorPpm() const = 0;
    // Drops the loads due after `afterUs`; how many.
    virtual int dropAfter(std::uint32_t afterUs) = 0;
    virtual Latched lastLatched() = 0;
    // When the last request's last byte reached the board, on our clock: the
    // moment the board's time in its answer belongs to.
    virtual HostClock::time_point lastSentAt() const = 0;
    // How many times the link has been opened: a new one means a board
    // that may have been reset, its clock and queue gone.
    virtual int opens() const = 0;
};

// A linear scan of the analog input done on the board itself: each point
// loaded, settled and read there, the readings streamed back.
class BoardScan {
public:
    virtual ~BoardScan() = default;
    virtual bool hasScan() = 0;
    // `count` points from `startWord16` by `stepWord16` (words in 1/65536ths,
    // so that any spacing adds up over the points): the averages, in ADC steps.
    virtual std::vector<double> scan(int channel, int samples, std::uint64_t startWord16,
                                     std::uint64_t stepWord16, int count, std::uint32_t settleUs,
                                     std::uint8_t control) = 0;
};

} // namespace kalimor::dds
