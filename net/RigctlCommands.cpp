#include "RigctlCommands.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>

namespace kalimor::rig {

namespace {

bool sameWord(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// Hamlib's mode names with their bits, as \dump_state advertises them.
struct Mode {
    std::string_view name;
    unsigned bit;
};
constexpr Mode modes[] = {
    {"AM", 0},     {"CW", 1},       {"USB", 2},      {"LSB", 3},    {"RTTY", 4},    {"FM", 5},
    {"WFM", 6},    {"CWR", 7},      {"RTTYR", 8},    {"AMS", 9},    {"PKTLSB", 10}, {"PKTUSB", 11},
    {"PKTFM", 12}, {"ECSSUSB", 13}, {"ECSSLSB", 14}, {"FAX", 15},   {"SAM", 16},    {"SAL", 17},
    {"SAH", 18},   {"DSB", 19},     {"FMN", 21},     {"PKTAM", 22},
};

constexpr unsigned long modeMask() {
    unsigned long mask = 0;
    for (const Mode& m : modes) mask |= 1ul << m.bit;
    return mask;
}

const Mode* findMode(std::string_view name) {
    for (const Mode& m : modes)
        if (sameWord(m.name, name)) return &m;
    return nullptr;
}

constexpr std::string_view vfoNames[] = {"VFOA",  "VFOB", "VFOC", "currVFO", "VFO",   "MEM",
                                         "Main",  "Sub",  "TX",   "RX",      "MainA", "MainB",
                                         "MainC", "SubA", "SubB", "SubC",    "None"};

bool parseFrequency(std::string_view text, double* hz) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return false;
    *hz = value;
    return true;
}

bool parseInt(std::string_view text, int* out) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    *out = value;
    return true;
}

std::string number(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return buf;
}

std::string hex(unsigned long value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%lx", value);
    return buf;
}

// The body of \dump_state, protocol 1, every line short enough for the
// client's 96-byte read buffer.
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

void getFreq(Call& c) {
    double hz = 0;
    c.status = c.rig.readFrequencyHz(&hz);
    if (c.status == RigOk) c.value("Frequency", number(std::round(hz), 0));
}

void setFreq(Call& c) {
    double hz = 0;
    c.status = parseFrequency(c.arg(0), &hz) ? c.rig.setFrequencyHz(hz) : RigInvalid;
}

void getMode(Call& c) {
    c.value("Mode", c.state.mode);
    c.value("Passband", std::to_string(c.state.passband));
}

void setMode(Call& c) {
    if (c.arg(0) == "?") { // Hamlib's way to ask for the list
        std::string list;
        for (const Mode& m : modes) list += std::string(m.name) + " ";
        return c.value("Modes", list);
    }
    const Mode* mode = findMode(c.arg(0));
    int passband = 0;
    if (!mode || (!c.arg(1).empty() && !parseInt(c.arg(1), &passband)) || passband < -1) {
        c.status = RigInvalid;
        return;
    }
    c.state.mode = std::string(mode->name);
    c.state.passband = passband > 0 ? passband : RigState::DefaultPassband;
    c.state.touched = true;
}

void getVfo(Call& c) {
    c.value("VFO", c.connection.vfo);
}

void setVfo(Call& c) {
    if (const std::string_view* vfo = findVfo(c.arg(0)))
        c.connection.vfo = std::string(*vfo);
    else
        c.status = RigInvalid;
}

void getPtt(Call& c) {
    c.value("PTT", std::to_string(c.state.ptt));
}

void setPtt(Call& c) {
    int ptt = 0;
    if (!parseInt(c.arg(0), &ptt) || ptt < 0 || ptt > 3) {
        c.status = RigInvalid;
        return;
    }
    // Remembered; it keys the output only where the rig says so.
    c.status = c.rig.setPtt(ptt);
    if (c.status == RigOk) {
        c.state.ptt = ptt;
        c.state.touched = true;
    }
}

void getDcd(Call& c) {
    c.value("DCD", "0");
}

void getSplitVfo(Call& c) {
    c.value("Split", "0");
    c.value("TX VFO", "VFOA");
}

void setSplitVfo(Call& c) {
    // Split off is what the generator always is; split on it cannot do,
    // and says so the way Hamlib does for a rig without split.
    int split = -1;
    if (!parseInt(c.arg(0), &split) || split < 0 || split > 1)
        c.status = RigInvalid;
    else if (split == 1)
        c.status = RigNotAvailable;
}

void getSplitFreq(Call& c) {
    // The transmit frequency is the one output's, readable or not.
    double hz = 0;
    c.rig.readFrequencyHz(&hz);
    c.value("TX Frequency", number(std::round(hz), 0));
}

void getSplitMode(Call& c) {
    c.value("TX Mode", c.state.mode);
    c.value("TX Passband", std::to_string(c.state.passband));
}

void notAvailable(Call& c) {
    c.status = RigNotAvailable;
}

void getVfoInfo(Call& c) {
    double hz = 0;
    c.status = c.rig.readFrequencyHz(&hz);
    if (c.status != RigOk) return;
    c.value("Freq", number(std::round(hz), 0));
    c.value("Mode", c.state.mode);
    c.value("Width", std::to_string(c.state.passband));
    c.value("Split", "0");
    c.value("SatMode", "0");
}

void chkVfo(Call& c) {
    c.value("ChkVFO", c.connection.vfoMode ? "1" : "0");
}

void dumpStateCmd(Call& c) {
    c.text = dumpState(c.rig.highestFrequencyHz());
}

void dumpCapsCmd(Call& c) {
    c.text = dumpCaps(c.rig.highestFrequencyHz(), c.rig.canSendMorse());
}

void getPowerstat(Call& c) {
    c.value("Power Status", "1");
}

void setPowerstat(Call& c) {
    // On is what the generator is. Off is refused rather than pretended:
    // a client told "off" would believe an output that is still there.
    int on = -1;
    if (!parseInt(c.arg(0), &on) || on < 0)
        c.status = RigInvalid;
    else if (on != 1)
        c.status = RigNotAvailable;
}

void getLockMode(Call& c) {
    c.value("Locked", "0");
}

void setVfoOpt(Call& c) {
    int on = -1;
    if (!parseInt(c.arg(0), &on) || on < 0 || on > 1)
        c.status = RigInvalid;
    else
        c.connection.vfoMode = on == 1;
}

void sendMorse(Call& c) {
    c.status = c.arg(0).empty() ? RigInvalid : c.rig.sendMorse(c.arg(0));
}

void stopMorse(Call& c) {
    c.status = c.rig.stopMorse();
}

void waitMorse(Call& c) {
    // The reply waits, and this client's next lines with it, until the
    // keyer is done; the server holds it (Session::waiting()).
    c.connection.waiting = c.rig.morseBusy();
}

void nothing(Call&) {}

// 0x8b is get_dcd's one-byte name, which gpredict sends every cycle.
constexpr Name names[] = {
    {'f', "get_freq", getFreq, 0, TakesVfo},
    {'F', "set_freq", setFreq, 1, TakesVfo},
    {'m', "get_mode", getMode, 0, TakesVfo},
    {'M', "set_mode", setMode, 2, TakesVfo},
    {'v', "get_vfo", getVfo, 0},
    {'V', "set_vfo", setVfo, 1},
    {'t', "get_ptt", getPtt, 0, TakesVfo},
    {'T', "set_ptt", setPtt, 1, TakesVfo},
    {'\x8b', "get_dcd", getDcd, 0, TakesVfo},
    {'s', "get_split_vfo", getSplitVfo, 0, TakesVfo},
    {'S', "set_split_vfo", setSplitVfo, 2, TakesVfo},
    {'i', "get_split_freq", getSplitFreq, 0, TakesVfo},
    {'I', "set_split_freq", notAvailable, 1, TakesVfo},
    {'x', "get_split_mode", getSplitMode, 0, TakesVfo},
    {'X', "set_split_mode", notAvailable, 2, TakesVfo},
    {0, "get_vfo_info", getVfoInfo, 0, TakesVfo},
    {0, "chk_vfo", chkVfo, 0, 0, Layout::Bare},
    {0, "dump_state", dumpStateCmd, 0, 0, Layout::Text},
    {'1', "dump_caps", dumpCapsCmd, 0, 0, Layout::TextStatus},
    {0, "get_powerstat", getPowerstat, 0},
    {0, "set_powerstat", setPowerstat, 1},
    // Hamlib's rigctld (4.5 and 4.6) ends this value with a status, which a
    // 4.6 client reads: without it the client waits out its timeout.
    {0, "get_lock_mode", getLockMode, 0, 0, Layout::ValuesThenStatus},
    {0, "set_vfo_opt", setVfoOpt, 1},
    {'b', "send_morse", sendMorse, 1, TakesVfo | RestOfLine},
    {0, "stop_morse", stopMorse, 0, TakesVfo},
    {0, "wait_morse", waitMorse, 0, TakesVfo},
    {'q', "quit", nothing, 0, 0, Layout::Quit},
    {'Q', "quit", nothing, 0, 0, Layout::Quit},
};

// gpredict's satellite pass markers, answered with a bare status.
constexpr Name aos{0, "AOS", nothing, 0};
constexpr Name los{0, "LOS", nothing, 0};

} // namespace

const Name* lookup(std::string_view word) {
    if (word == "AOS") return &aos;
    if (word == "LOS") return &los;
    if (word.size() > 1 && word[0] == '\\') {
        word.remove_prefix(1);
        for (const Name& n : names)
            if (n.longName == word) return &n;
        return nullptr;
    }
    if (word.size() == 1 && word[0] != 0) // 0 marks a command with a long name only
        for (const Name& n : names)
            if (n.shortName == word[0]) return &n;
    return nullptr;
}

const std::string_view* findVfo(std::string_view name) {
    for (const std::string_view& v : vfoNames)
        if (sameWord(v, name)) return &v;
    return nullptr;
}

} // namespace kalimor::rig
