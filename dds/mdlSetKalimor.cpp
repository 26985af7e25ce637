#include "mdlSetKalimor.h"

#include "dds/Board.h"

namespace kalimor {

void setPortBackend(dds::PortBackend* b) {
    dds::board().setPort(b);
}
dds::PortBackend* portBackend() {
    return dds::board().port();
}
const std::uint8_t* lastLoadBytes() {
    static thread_local std::array<std::uint8_t, dds::Board::StreamLength> copy;
    copy = dds::board().lastBytes();
    return copy.data();
}

void WriteDDSWord(std::int32_t TuningWord, std::int16_t Phase, std::int16_t PowerDown) {
    dds::board().load(TuningWord, Phase, PowerDown);
}

} // namespace kalimor
