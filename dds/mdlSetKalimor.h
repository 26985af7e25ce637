#pragma once

#include <cstdint>

namespace kalimor {

namespace dds {
class PortBackend;
}

// Loads a complete frequency, phase and control word into the DDS chip: the
// 32-bit tuning word LSB first, then the control byte (power-down bit W34,
// phase in W35..W39), two port writes per bit and an update strobe, 82 bytes in
// one call of the port back-end at the board's address, on the board's thread
// (dds::board()); returns once the board has answered.
// Phase: 0..31 steps of 11.25 degrees. PowerDown: 0 or 1.
// Raises Overflow (6) before anything is touched when the control byte does
// not fit, and the back-end's error when the port cannot be written.
void WriteDDSWord(std::int32_t TuningWord, std::int16_t Phase, std::int16_t PowerDown);

// The board's back-end, which every load goes through; not owned. Null means
// no port, which makes every load fail.
void setPortBackend(dds::PortBackend* backend);
dds::PortBackend* portBackend();

// The bytes of the last load, for inspection; 82 valid entries.
const std::uint8_t* lastLoadBytes();

} // namespace kalimor
