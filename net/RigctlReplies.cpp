#include "RigctlReplies.h"

#include "RigctlSession.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace kalimor::rig::replies {

std::string number(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return buf;
}

namespace {

std::string hex(unsigned long value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%lx", value);
    return buf;
}

} // namespace

std::string dumpState(double highestHz) {
    const std::string top = number(std::floor(highestHz), 6);
    const std::string all = hex(modeMask());
    std::string s;
    s += "1\n"; // protocol version
    s += "2\n"; // rig model: NET rigctl
    s += "1\n"; // ITU region
    // receive and transmit ranges: start end modes low_power high_power vfo ant
    const std::string range = "0.100000 " + top + " " + all + " -1 -1 0x1 0x0\n";
    s += range + "0 0 0 0 0 0 0\n";
    s += range + "0 0 0 0 0 0 0\n";
    s += all + " 1\n0 0\n"; // tuning steps: 1 Hz in every mode
    s += all + " " + std::to_string(RigState::DefaultPassband) + "\n0 0\n"; // filters
    s += "0\n0\n0\n0\n";                                                    // RIT, XIT, IF, ann.
    s += "\n\n";                                                            // preamps, attenuators
    s += "0x0\n0x0\n0x0\n0x0\n0x0\n0x0\n"; // functions, levels, parameters
    // ptt_type 1: PTT by command, which is what clients set up for CAT PTT.
    s += "vfo_ops=0x0\nptt_type=0x1\nhas_set_vfo=1\nhas_get_vfo=1\nhas_set_freq=1\nhas_get_freq="
         "1\ndone\n";
    return s;
}

// \dump_caps in Hamlib's layout, holding what is true of the generator: a
// client such as CQRLOG reads its "Can ..." lines to know what to ask.
std::string dumpCaps(double highestHz, bool morse) {
    std::string modeList;
    for (const Mode& m : modes) modeList += std::string(m.name) + " ";
    const std::string range = "\t0 Hz - " + number(std::floor(highestHz), 0) +
                              " Hz\n\t\tVFO list: VFOA \n\t\tMode list: " + modeList + "\n";
    std::string s = "Caps dump for model: 2\n"
                    "Model name:\tKalimor DDS generator\n"
                    "Mfg name:\tKalimor\n"
                    "Backend version:\t1.0\n"
                    "Backend copyright:\tGPL\n"
                    "Backend status:\tStable\n"
                    "Rig type:\tOther \n"
                    "PTT type:\tRig capable\n"
                    "DCD type:\tNone\n"
                    "Port type:\tNetwork link\n"
                    "Has targetable VFO: N\n"
                    "Mode list: " +
                    modeList + "\nVFO list: VFOA \nTX ranges #1 for Kalimor:\n" + range +
                    "RX ranges #1 for Kalimor:\n" + range + "Tuning steps:\n\t1.0 Hz:   \t" +
                    modeList + "\n";
    // Every capability Hamlib lists, in its order: Y only for what Kalimor
    // answers with more than a refusal.
    static constexpr std::pair<const char*, bool> can[] = {
        {"Has priv data", false},
        {"Has Init", true},
        {"Has Cleanup", true},
        {"Has Open", true},
        {"Has Close", true},
        {"Can set Conf", false},
        {"Can get Conf", false},
        {"Can set Frequency", true},
        {"Can get Frequency", true},
        {"Can set Mode", true},
        {"Can get Mode", true},
        {"Can set VFO", true},
        {"Can get VFO", true},
        {"Can set PTT", true},
        {"Can get PTT", true},
        {"Can get DCD", true},
        {"Can set Repeater Duplex", false},
        {"Can get Repeater Duplex", false},
        {"Can set Repeater Offset", false},
        {"Can get Repeater Offset", false},
        {"Can set Split Freq", false},
        {"Can get Split Freq", true},
        {"Can set Split Mode", false},
        {"Can get Split Mode", true},
        {"Can set Split VFO", true},
        {"Can get Split VFO", true},
        {"Can set Tuning Step", false},
        {"Can get Tuning Step", false},
        {"Can set RIT", false},
        {"Can get RIT", false},
        {"Can set XIT", false},
        {"Can get XIT", false},
        {"Can set CTCSS", false},
        {"Can get CTCSS", false},
        {"Can set DCS", false},
        {"Can get DCS", false},
        {"Can set CTCSS Squelch", false},
        {"Can get CTCSS Squelch", false},
        {"Can set DCS Squelch", false},
        {"Can get DCS Squelch", false},
        {"Can set Power Stat", true},
        {"Can get Power Stat", true},
        {"Can Reset", false},
        {"Can get Ant", false},
        {"Can set Ant", false},
        {"Can set Transceive", false},
        {"Can get Transceive", false},
        {"Can set Func", false},
        {"Can get Func", false},
        {"Can set Level", false},
        {"Can get Level", false},
        {"Can set Param", false},
        {"Can get Param", false},
        {"Can send DTMF", false},
        {"Can recv DTMF", false},
        {"Can send Morse", false},
        {"Can send Voice", false},
        {"Can decode Events", false},
        {"Can set Bank", false},
        {"Can set Mem", false},
        {"Can get Mem", false},
        {"Can set Channel", false},
        {"Can get Channel", false},
        {"Can ctl Mem/VFO", false},
        {"Can Scan", false},
        {"Can get Info", false},
        {"Can get power2mW", false},
        {"Can get mW2power", false},
    };
    for (const auto& [what, yes] : can) {
        s += what;
        const bool can = yes || (morse && std::string_view(what) == "Can send Morse");
        s += can ? ":\tY\n" : ":\tN\n";
    }
    s += "\nOverall backend warnings: 0   \n";
    return s;
}

} // namespace kalimor::rig::replies
