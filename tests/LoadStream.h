#pragma once

#include "dds/Ad9850.h"

#include <cstdint>
#include <vector>

// The 82 bytes WriteDDSWord hands a port for one load: the 40 bits LSB
// first, each as data then data with W_CLK, then the update strobe.
inline std::vector<std::uint8_t> loadStream(std::uint32_t word, std::uint8_t control = 0) {
    std::vector<std::uint8_t> s;
    for (int k = 0; k < 40; ++k) {
        const auto bit = std::uint8_t(k < 32 ? (word >> k) & 1 : (control >> (k - 32)) & 1);
        s.insert(s.end(), {bit, std::uint8_t(bit | kalimor::dds::LineWClk)});
    }
    s.insert(s.end(), {kalimor::dds::LineFqUd, 0});
    return s;
}
