#include "mdlSetKalimor.h"

#include "app/Globals.h"
#include "core/Error.h"
#include "dds/Port.h"

#include <array>

namespace kalimor {

namespace {

constexpr std::size_t StreamLength = 82;
// Reused by every load so that the sweep's 100 loads a second allocate nothing.
std::array<std::uint8_t, StreamLength + 1> buffer{};
dds::PortBackend* backend = nullptr;

// The byte conversions the control byte goes through, each of which must fit.
std::uint8_t toByte(int value) {
    if (value < 0 || value > 255) throw overflowError(QStringLiteral("WriteDDSWord"));
    return static_cast<std::uint8_t>(value);
}

int times16(std::int16_t value, int factor) {
    const int product = value * factor;
    if (product < INT16_MIN || product > INT16_MAX)
        throw overflowError(QStringLiteral("WriteDDSWord"));
    return product;
}

} // namespace

void setPortBackend(dds::PortBackend* b) {
    backend = b;
}
dds::PortBackend* portBackend() {
    return backend;
}
const std::uint8_t* lastLoadBytes() {
    return buffer.data();
}

void WriteDDSWord(std::int32_t TuningWord, std::int16_t Phase, std::int16_t PowerDown) {
    const std::uint8_t phaseBits = toByte(times16(Phase, 8));
    std::uint8_t control = toByte(phaseBits | times16(PowerDown, 4));
    if (!backend)
        throw Error(err::PortAccess, QStringLiteral("WriteDDSWord"),
                    QStringLiteral("no port selected"));

    std::int32_t word = TuningWord;
    for (std::size_t k = 0; k < 32; ++k) {
        const std::uint8_t bit = static_cast<std::uint8_t>(word & 1);
        buffer[2 * k] = bit;                     // data, clock low
        buffer[2 * k + 1] = bit | dds::LineWClk; // clock rises
        word >>= 1;
    }
    for (std::size_t k = 0; k < 8; ++k) {
        const std::uint8_t bit = control & 1;
        buffer[64 + 2 * k] = bit;
        buffer[65 + 2 * k] = bit | dds::LineWClk;
        control >>= 1;
    }
    // The clock falls as the update strobe rises, then every line idles low.
    buffer[80] = dds::LineFqUd;
    buffer[81] = 0x00;
    backend->write(Globals::PortAddress, buffer.data(), StreamLength);
}

} // namespace kalimor
