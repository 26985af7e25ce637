#include "RigctlSession.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

namespace kalimor::rig {

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

enum class Cmd {
    GetFreq,
    SetFreq,
    GetVfo,
    SetVfo,
    GetSplitVfo,
    GetMode,
    ChkVfo,
    DumpState,
    GetPowerstat,
    GetLockMode,
    SetVfoOpt,
    Quit,
    Unknown
};

struct Name {
    char shortName; // 0: long form only
    std::string_view longName;
    Cmd cmd;
};

constexpr Name names[] = {
    {'f', "get_freq", Cmd::GetFreq},
    {'F', "set_freq", Cmd::SetFreq},
    {'v', "get_vfo", Cmd::GetVfo},
    {'V', "set_vfo", Cmd::SetVfo},
    {'s', "get_split_vfo", Cmd::GetSplitVfo},
    {'m', "get_mode", Cmd::GetMode},
    {0, "chk_vfo", Cmd::ChkVfo},
    {0, "dump_state", Cmd::DumpState},
    {0, "get_powerstat", Cmd::GetPowerstat},
    {0, "get_lock_mode", Cmd::GetLockMode},
    {0, "set_vfo_opt", Cmd::SetVfoOpt},
    {'q', "quit", Cmd::Quit},
    {'Q', "quit", Cmd::Quit},
};

const Name* lookup(std::string_view word) {
    if (word.size() > 1 && word[0] == '\\') {
        word.remove_prefix(1);
        for (const Name& n : names)
            if (n.longName == word) return &n;
        return nullptr;
    }
    if (word.size() == 1)
        for (const Name& n : names)
            if (n.shortName == word[0]) return &n;
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

std::string number(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return buf;
}

// The body of \dump_state, protocol 1, every line short enough for the
// client's 96-byte read buffer.
std::string dumpState(double highestHz) {
    const std::string top = number(std::floor(highestHz), 6);
    std::string s;
    s += "1\n"; // protocol version
    s += "2\n"; // rig model: NET rigctl
    s += "1\n"; // ITU region
    // receive and transmit ranges: start end modes low_power high_power vfo ant
    const std::string range = "0.100000 " + top + " 0x2 -1 -1 0x1 0x0\n";
    s += range + "0 0 0 0 0 0 0\n";
    s += range + "0 0 0 0 0 0 0\n";
    s += "0x2 1\n0 0\n";                   // tuning steps: CW in 1 Hz
    s += "0x2 0\n0 0\n";                   // filters
    s += "0\n0\n0\n0\n";                   // max RIT, XIT, IF shift, announces
    s += "\n\n";                           // preamps, attenuators
    s += "0x0\n0x0\n0x0\n0x0\n0x0\n0x0\n"; // functions, levels, parameters
    s += "vfo_ops=0x0\nptt_type=0x0\nhas_set_vfo=1\nhas_get_vfo=1\nhas_set_freq=1\nhas_get_freq="
         "1\ndone\n";
    return s;
}

// Echoed text stays readable whatever the client sent.
std::string printable(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, 64)) out += (c >= 0x21 && c <= 0x7e) ? c : '?';
    return out;
}

} // namespace

std::string Session::handle(std::string_view line, bool* quit) {
    *quit = false;
    // Extended form: a punctuation character in front; '+' separates fields
    // with line ends, any other separator stands between them itself.
    char sep = 0;
    while (!line.empty() && isSpace(line.front())) line.remove_prefix(1);
    if (!line.empty() && (line[0] == '+' || line[0] == ';' || line[0] == '|' || line[0] == ',')) {
        sep = line[0] == '+' ? '\n' : line[0];
        line.remove_prefix(1);
    }
    const std::vector<std::string_view> w = words(line);
    if (w.empty()) return {};
    const Name* name = lookup(w[0]);

    std::vector<std::pair<std::string, std::string>> fields; // extended: "Label: value"
    std::string plain;                                       // plain: the values, one per line
    int status = RigOk;
    bool hasValues = false;
    auto value = [&](const char* label, const std::string& v) {
        fields.emplace_back(label, v);
        plain += v + "\n";
        hasValues = true;
    };

    switch (name ? name->cmd : Cmd::Unknown) {
    case Cmd::GetFreq:
        value("Frequency", number(std::round(m_rig.frequencyHz()), 0));
        break;
    case Cmd::SetFreq: {
        double hz = 0;
        // An optional VFO name may stand before the frequency.
        const std::string_view arg =
            w.size() >= 3 ? w[2] : (w.size() == 2 ? w[1] : std::string_view());
        status = (!arg.empty() && parseFrequency(arg, &hz)) ? m_rig.setFrequencyHz(hz) : RigInvalid;
        break;
    }
    case Cmd::GetVfo:
        value("VFO", "VFOA");
        break;
    case Cmd::SetVfo:
    case Cmd::SetVfoOpt:
        status = w.size() >= 2 ? RigOk : RigInvalid;
        break;
    case Cmd::GetSplitVfo:
        value("Split", "0");
        value("TX VFO", "VFOA");
        break;
    case Cmd::GetMode:
        value("Mode", "CW");
        value("Passband", "0");
        break;
    case Cmd::ChkVfo:
        value("ChkVFO", "0");
        break;
    case Cmd::GetPowerstat:
        value("Power Status", "1");
        break;
    case Cmd::GetLockMode:
        value("Locked", "0");
        break;
    case Cmd::DumpState:
        if (!sep) return dumpState(m_rig.highestFrequencyHz());
        plain = dumpState(m_rig.highestFrequencyHz());
        break;
    case Cmd::Quit:
        *quit = true;
        break;
    case Cmd::Unknown:
        status = RigNotAvailable;
        break;
    }

    const std::string rprt = "RPRT " + std::to_string(status);
    if (!sep) return (hasValues && status == RigOk) ? plain : rprt + "\n";

    // Extended: the command echoed with its arguments, each field, then the status.
    std::string out = name ? std::string(name->longName) : printable(w[0]);
    out += ":";
    for (size_t i = 1; i < w.size() && i < 8; ++i) out += " " + printable(w[i]);
    out += sep;
    if (name && name->cmd == Cmd::DumpState) {
        out += plain;
    } else {
        for (const auto& [label, v] : fields) out += label + ": " + v + sep;
    }
    return out + rprt + "\n";
}

} // namespace kalimor::rig
