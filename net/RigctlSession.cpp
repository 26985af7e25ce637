#include "RigctlSession.h"

#include "net/RigctlReplies.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <span>
#include <utility>
#include <vector>

namespace kalimor::rig {

using replies::dumpCaps;
using replies::dumpState;
using replies::Mode;
using replies::modes;
using replies::number;

enum class Cmd {
    GetFreq,
    SetFreq,
    GetMode,
    SetMode,
    GetVfo,
    SetVfo,
    GetPtt,
    SetPtt,
    GetDcd,
    GetSplitVfo,
    SetSplitVfo,
    GetSplitFreq,
    SetSplitFreq,
    GetSplitMode,
    SetSplitMode,
    GetVfoInfo,
    ChkVfo,
    DumpState,
    DumpCaps,
    GetPowerstat,
    SetPowerstat,
    GetLockMode,
    SetVfoOpt,
    SendMorse,
    StopMorse,
    WaitMorse,
    Satellite, // gpredict's AOS and LOS
    Quit,
    Unknown
};

struct Name {
    char shortName; // 0: long form only
    std::string_view longName;
    Cmd cmd;
    int args;      // what the command takes after its VFO, if it has one
    bool takesVfo; // in VFO mode a VFO name stands before the arguments
};

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isSpace(text[i])) ++i;
        const size_t start = i;
        while (i < text.size() && !isSpace(text[i])) ++i;
        if (i > start) out.push_back(text.substr(start, i - start));
    }
    return out;
}

bool sameWord(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// 0x8b is get_dcd's one-byte name, which gpredict sends every cycle.
constexpr Name names[] = {
    {'f', "get_freq", Cmd::GetFreq, 0, true},
    {'F', "set_freq", Cmd::SetFreq, 1, true},
    {'m', "get_mode", Cmd::GetMode, 0, true},
    {'M', "set_mode", Cmd::SetMode, 2, true},
    {'v', "get_vfo", Cmd::GetVfo, 0, false},
    {'V', "set_vfo", Cmd::SetVfo, 1, false},
    {'t', "get_ptt", Cmd::GetPtt, 0, true},
    {'T', "set_ptt", Cmd::SetPtt, 1, true},
    {'\x8b', "get_dcd", Cmd::GetDcd, 0, true},
    {'s', "get_split_vfo", Cmd::GetSplitVfo, 0, true},
    {'S', "set_split_vfo", Cmd::SetSplitVfo, 2, true},
    {'i', "get_split_freq", Cmd::GetSplitFreq, 0, true},
    {'I', "set_split_freq", Cmd::SetSplitFreq, 1, true},
    {'x', "get_split_mode", Cmd::GetSplitMode, 0, true},
    {'X', "set_split_mode", Cmd::SetSplitMode, 2, true},
    {0, "get_vfo_info", Cmd::GetVfoInfo, 0, true},
    {0, "chk_vfo", Cmd::ChkVfo, 0, false},
    {0, "dump_state", Cmd::DumpState, 0, false},
    {'1', "dump_caps", Cmd::DumpCaps, 0, false},
    {0, "get_powerstat", Cmd::GetPowerstat, 0, false},
    {0, "set_powerstat", Cmd::SetPowerstat, 1, false},
    {0, "get_lock_mode", Cmd::GetLockMode, 0, false},
    {0, "set_vfo_opt", Cmd::SetVfoOpt, 1, false},
    {'b', "send_morse", Cmd::SendMorse, 1, true}, // its argument is the rest of the line
    {0, "stop_morse", Cmd::StopMorse, 0, true},
    {0, "wait_morse", Cmd::WaitMorse, 0, true},
    {'q', "quit", Cmd::Quit, 0, false},
    {'Q', "quit", Cmd::Quit, 0, false},
};

constexpr Name aos{0, "AOS", Cmd::Satellite, 0, false};
constexpr Name los{0, "LOS", Cmd::Satellite, 0, false};

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

const Mode* findMode(std::string_view name) {
    for (const Mode& m : modes)
        if (sameWord(m.name, name)) return &m;
    return nullptr;
}

constexpr std::string_view vfoNames[] = {"VFOA",  "VFOB", "VFOC", "currVFO", "VFO",   "MEM",
                                         "Main",  "Sub",  "TX",   "RX",      "MainA", "MainB",
                                         "MainC", "SubA", "SubB", "SubC",    "None"};

const std::string_view* findVfo(std::string_view name) {
    for (const std::string_view& v : vfoNames)
        if (sameWord(v, name)) return &v;
    return nullptr;
}

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

// Echoed text stays readable whatever the client sent.
std::string printable(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, 64)) out += (c >= 0x21 && c <= 0x7e) ? c : '?';
    return out;
}

} // namespace

// The line as Hamlib's parser reads its stream: a command (one letter, or a
// backslash and its long name), with its own response prefix where it has one,
// then as many words as it takes; one-letter commands without arguments may run
// together ("fmv"), and a letter's first argument may follow it directly
// ("F7040000"). A word that names no command ends the line with one refusal:
// the rest of a garbled line is not run as commands.
std::string Session::handle(std::string_view line, bool* quit) {
    *quit = false;
    const std::vector<std::string_view> w = words(line);
    std::string out;
    size_t next = 0;
    std::string_view carried; // what is left of a word after a one-letter command
    auto take = [&]() -> std::string_view {
        if (!carried.empty()) return std::exchange(carried, {});
        return next < w.size() ? w[next++] : std::string_view();
    };
    auto remaining = [&] { return w.size() - next + (carried.empty() ? 0 : 1); };
    for (int commands = 0; remaining() > 0; ++commands) {
        // A line of "1111..." must not make megabytes of replies at once.
        if (commands == MaxCommandsPerLine) {
            out += "RPRT " + std::to_string(RigProtocol) + "\n";
            break;
        }
        std::string_view word = take();
        // Extended form: a punctuation character in front; '+' separates
        // fields with line ends, any other separator stands between them.
        char sep = 0;
        if (word[0] == '+' || word[0] == ';' || word[0] == '|' || word[0] == ',') {
            sep = word[0] == '+' ? '\n' : word[0];
            word.remove_prefix(1);
            if (word.empty()) word = take();
            if (word.empty()) break;
        }
        const Name* name = nullptr;
        std::string_view rest;
        if (word == "AOS" || word == "LOS" || word[0] == '\\') {
            name = lookup(word);
        } else {
            name = lookup(word.substr(0, 1));
            rest = word.substr(1);
        }
        if (!name) {
            out += reply(nullptr, word, {}, {}, sep, quit);
            break;
        }
        std::vector<std::string_view> args, echo;
        if (!rest.empty()) {
            if (name->args > 0)
                args.push_back(rest);
            else
                carried = rest;
        }
        // A VFO name before the arguments: required by Hamlib in VFO mode,
        // and sent by gpredict either way. The generator has one output, so
        // any VFO names it.
        if (args.empty() && name->takesVfo && carried.empty() && next < w.size() &&
            findVfo(w[next]) && (m_vfoMode || static_cast<int>(w.size() - next) > name->args))
            echo.push_back(w[next++]);
        while (static_cast<int>(args.size()) < name->args && carried.empty() && next < w.size())
            args.push_back(w[next++]);
        // Morse text takes the rest of the line, blanks and all.
        std::string text;
        if (name->cmd == Cmd::SendMorse && !args.empty()) {
            const char* from = args.front().data();
            while (next < w.size()) ++next;
            const char* to = w.empty() ? from : w.back().data() + w.back().size();
            if (to > from) text.assign(from, size_t(to - from));
            args = {text};
        }
        echo.insert(echo.end(), args.begin(), args.end());
        out += reply(name, word, args, echo, sep, quit);
        if (*quit) break;
    }
    return out;
}

std::string Session::reply(const Name* name, std::string_view word,
                           const std::vector<std::string_view>& args,
                           const std::vector<std::string_view>& echo, char sep, bool* quit) {
    auto arg = [&](size_t i) { return i < args.size() ? args[i] : std::string_view(); };
    std::vector<std::pair<std::string, std::string>> fields; // extended: "Label: value"
    std::string plain;                                       // plain: the values, one per line
    int status = RigOk;
    bool hasValues = false;
    auto value = [&](const char* label, const std::string& v) {
        fields.emplace_back(label, v);
        plain += v + "\n";
        hasValues = true;
    };
    // A transmit time-out keyed down whatever a client last set: the shared
    // state (and the status line that shows it) follows.
    if (const std::optional<int> ptt = m_rig.ptt()) m_state->ptt = *ptt;
    double readHz = 0;
    const int readStatus = m_rig.readFrequencyHz(&readHz);
    const std::string frequency = number(std::round(readHz), 0);

    switch (name ? name->cmd : Cmd::Unknown) {
    case Cmd::GetFreq:
        if (readStatus != RigOk)
            status = readStatus;
        else
            value("Frequency", frequency);
        break;
    case Cmd::SetFreq: {
        double hz = 0;
        status = parseFrequency(arg(0), &hz) ? m_rig.setFrequencyHz(hz) : RigInvalid;
        break;
    }
    case Cmd::GetMode:
        value("Mode", m_state->mode);
        value("Passband", std::to_string(m_state->passband));
        break;
    case Cmd::SetMode: {
        if (arg(0) == "?") { // Hamlib's way to ask for the list
            std::string list;
            for (const Mode& m : modes) list += std::string(m.name) + " ";
            value("Modes", list);
            break;
        }
        const Mode* mode = findMode(arg(0));
        int passband = 0;
        if (!mode || (!arg(1).empty() && !parseInt(arg(1), &passband)) || passband < -1) {
            status = RigInvalid;
            break;
        }
        m_state->mode = std::string(mode->name);
        m_state->passband = passband > 0 ? passband : RigState::DefaultPassband;
        m_state->touched = true;
        break;
    }
    case Cmd::GetVfo:
        value("VFO", m_vfo);
        break;
    case Cmd::SetVfo:
        if (const std::string_view* vfo = findVfo(arg(0)))
            m_vfo = std::string(*vfo);
        else
            status = RigInvalid;
        break;
    case Cmd::GetPtt:
        value("PTT", std::to_string(m_state->ptt));
        break;
    case Cmd::SetPtt: {
        // Remembered only: keying the output is not what PTT means here.
        int ptt = 0;
        if (!parseInt(arg(0), &ptt) || ptt < 0 || ptt > 3) {
            status = RigInvalid;
            break;
        }
        // Remembered; it keys the output only where the rig says so.
        status = m_rig.setPtt(ptt);
        if (status == RigOk) {
            m_state->ptt = ptt;
            m_state->touched = true;
        }
        break;
    }
    case Cmd::SendMorse:
        status = arg(0).empty() ? RigInvalid : m_rig.sendMorse(arg(0));
        break;
    case Cmd::StopMorse:
        status = m_rig.stopMorse();
        break;
    case Cmd::WaitMorse:
        // The reply waits, and this client's next lines with it, until the
        // keyer is done; the server holds it (waiting()).
        m_waiting = m_rig.morseBusy();
        break;
    case Cmd::GetDcd:
        value("DCD", "0");
        break;
    case Cmd::GetSplitVfo:
        value("Split", "0");
        value("TX VFO", "VFOA");
        break;
    case Cmd::SetSplitVfo: {
        // Split off is what the generator always is; split on it cannot do,
        // and says so the way Hamlib does for a rig without split.
        int split = -1;
        if (!parseInt(arg(0), &split) || split < 0 || split > 1)
            status = RigInvalid;
        else if (split == 1)
            status = RigNotAvailable;
        break;
    }
    case Cmd::GetSplitFreq:
        value("TX Frequency", frequency);
        break;
    case Cmd::GetSplitMode:
        value("TX Mode", m_state->mode);
        value("TX Passband", std::to_string(m_state->passband));
        break;
    case Cmd::SetSplitFreq:
    case Cmd::SetSplitMode:
        status = RigNotAvailable;
        break;
    case Cmd::GetVfoInfo:
        if (readStatus != RigOk) {
            status = readStatus;
            break;
        }
        value("Freq", frequency);
        value("Mode", m_state->mode);
        value("Width", std::to_string(m_state->passband));
        value("Split", "0");
        value("SatMode", "0");
        break;
    case Cmd::ChkVfo:
        // Hamlib answers this one without echo or status, in either form.
        return sep ? std::string("ChkVFO: ") + (m_vfoMode ? "1\n" : "0\n")
                   : std::string(m_vfoMode ? "1\n" : "0\n");
    case Cmd::GetPowerstat:
        value("Power Status", "1");
        break;
    case Cmd::SetPowerstat: {
        // On is what the generator is. Off is refused rather than pretended:
        // a client told "off" would believe an output that is still there.
        int on = -1;
        if (!parseInt(arg(0), &on) || on < 0)
            status = RigInvalid;
        else if (on != 1)
            status = RigNotAvailable;
        break;
    }
    case Cmd::GetLockMode:
        value("Locked", "0");
        break;
    case Cmd::SetVfoOpt: {
        int on = -1;
        if (!parseInt(arg(0), &on) || on < 0 || on > 1)
            status = RigInvalid;
        else
            m_vfoMode = on == 1;
        break;
    }
    case Cmd::Satellite:
        break;
    case Cmd::DumpState:
        if (!sep) return dumpState(m_rig.highestFrequencyHz());
        plain = dumpState(m_rig.highestFrequencyHz());
        break;
    case Cmd::DumpCaps:
        plain = dumpCaps(m_rig.highestFrequencyHz(), m_rig.canSendMorse());
        if (!sep) return plain + "RPRT 0\n";
        break;
    case Cmd::Quit:
        // Hamlib's server confirms, then closes.
        *quit = true;
        return "RPRT 0\n";
    case Cmd::Unknown:
        status = RigNotAvailable;
        break;
    }

    const std::string rprt = "RPRT " + std::to_string(status);
    if (!sep) {
        return (hasValues && status == RigOk) ? plain : rprt + "\n";
    }

    // Extended: the command echoed with its arguments, each field, then the status.
    std::string out = name ? std::string(name->longName) : printable(word);
    out += ":";
    // Appends piece by piece: GCC 12 at -O2 warns wrongly (-Wrestrict) about
    // `" " + std::string`.
    for (size_t i = 0; i < echo.size() && i < 8; ++i) {
        out += ' ';
        out += printable(echo[i]);
    }
    out += sep;
    if (name && (name->cmd == Cmd::DumpState || name->cmd == Cmd::DumpCaps)) {
        out += plain;
    } else {
        for (const auto& [label, v] : fields) {
            out += label;
            out += ": ";
            out += v;
            out += sep;
        }
    }
    return out + rprt + "\n";
}

} // namespace kalimor::rig
