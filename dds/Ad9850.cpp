#include "Ad9850.h"

namespace kalimor::dds {

void Ad9850::feed(std::uint8_t byte) {
    const std::uint8_t rising = static_cast<std::uint8_t>(byte & ~m_lines);
    if (rising & LineWClk) {
        // The chip fills its 40-bit register W0 first and ignores clocks past
        // the 40th until the next update.
        if (m_clocks < 40 && (byte & LineData))
            m_input |= std::uint64_t{1} << m_clocks;
        else if (m_clocks < 40)
            m_input &= ~(std::uint64_t{1} << m_clocks);
        ++m_clocks;
    }
    if (rising & LineFqUd) {
        m_state.ftw = static_cast<std::uint32_t>(m_input & 0xFFFFFFFFu);
        m_state.control = static_cast<std::uint8_t>((m_input >> 32) & 0xFF);
        m_state.phase = m_state.control >> 3;
        m_state.powerDown = (m_state.control & 0x04) != 0;
        m_state.clocks = m_clocks;
        m_clocks = 0;
        ++m_updates;
    }
    m_lines = byte;
}

void Ad9850::feed(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) feed(bytes[i]);
}

double Ad9850::outputHz(double refClkHz) const {
    if (m_state.powerDown) return 0;
    return static_cast<double>(m_state.ftw) * refClkHz / 4294967296.0;
}

} // namespace kalimor::dds
