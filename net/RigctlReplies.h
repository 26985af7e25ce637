#pragma once

#include <string>
#include <string_view>

// The long replies of the rigctld protocol and what they share with the
// session: the modes, and numbers as Hamlib prints them.
namespace kalimor::rig::replies {

// Hamlib's mode names with their bits, as \dump_state advertises them.
struct Mode {
    std::string_view name;
    unsigned bit;
};
inline constexpr Mode modes[] = {
    {"AM", 0},     {"CW", 1},       {"USB", 2},      {"LSB", 3},    {"RTTY", 4},    {"FM", 5},
    {"WFM", 6},    {"CWR", 7},      {"RTTYR", 8},    {"AMS", 9},    {"PKTLSB", 10}, {"PKTUSB", 11},
    {"PKTFM", 12}, {"ECSSUSB", 13}, {"ECSSLSB", 14}, {"FAX", 15},   {"SAM", 16},    {"SAL", 17},
    {"SAH", 18},   {"DSB", 19},     {"FMN", 21},     {"PKTAM", 22},
};

inline constexpr unsigned long modeMask() {
    unsigned long mask = 0;
    for (const Mode& m : modes) mask |= 1ul << m.bit;
    return mask;
}

// `value` with `decimals` digits after the point, as printf's %.*f.
std::string number(double value, int decimals);
// The body of \dump_state, protocol 1, every line short enough for the
// client's 96-byte read buffer.
std::string dumpState(double highestHz);
// \dump_caps in Hamlib's layout, holding what is true of the generator.
std::string dumpCaps(double highestHz, bool morse);

} // namespace kalimor::rig::replies
