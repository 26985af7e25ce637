#pragma once

#include <cstddef>
#include <cstdint>

namespace kalimor::dds {

// Data-register lines of the parallel port as the board wires them.
inline constexpr std::uint8_t LineData = 0x01; // D0: serial data
inline constexpr std::uint8_t LineWClk = 0x02; // D1: word clock, rising edge shifts D0 in
inline constexpr std::uint8_t LineFqUd = 0x04; // D2: frequency update, rising edge latches

// What the chip applied at its last frequency update.
struct DdsState {
    std::uint32_t ftw = 0;
    std::uint8_t control = 0;
    int phase = 0; // 11.25-degree steps
    bool powerDown = false;
    int clocks = 0; // W_CLK rising edges that preceded this update
};

// The AD9850 serial interface, decoded edge by edge from the port's byte
// stream exactly as the chip sees it, so a wrong line mask or a missing edge
// shows up here rather than on a user's bench.
class Ad9850 {
public:
    void feed(std::uint8_t byte);
    void feed(const std::uint8_t* bytes, std::size_t count);

    const DdsState& state() const { return m_state; }
    // Frequency updates seen since construction.
    std::uint64_t updates() const { return m_updates; }
    // W_CLK rising edges since the last update.
    int pendingClocks() const { return m_clocks; }
    // Output frequency for a given reference clock.
    double outputHz(double refClkHz) const;

private:
    std::uint8_t m_lines = 0;
    std::uint64_t m_input = 0; // 40-bit input register
    int m_clocks = 0;
    std::uint64_t m_updates = 0;
    DdsState m_state;
};

} // namespace kalimor::dds
