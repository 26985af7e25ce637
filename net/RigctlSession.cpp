#include "RigctlSession.h"

#include "RigctlCommands.h"

#include <string>
#include <utility>
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
            Call refused = call({});
            refused.status = RigNotAvailable;
            out += reply(nullptr, word, refused, {}, sep, quit);
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
        if (args.empty() && (name->flags & TakesVfo) && carried.empty() && next < w.size() &&
            findVfo(w[next]) &&
            (m_connection.vfoMode || static_cast<int>(w.size() - next) > name->args))
            echo.push_back(w[next++]);
        while (static_cast<int>(args.size()) < name->args && carried.empty() && next < w.size())
            args.push_back(w[next++]);
        // Morse text, for one, takes the rest of the line, blanks and all.
        if ((name->flags & RestOfLine) && !args.empty()) {
            const char* from = args.front().data();
            while (next < w.size()) ++next;
            const char* to = w.empty() ? from : w.back().data() + w.back().size();
            args = {to > from ? std::string_view(from, size_t(to - from)) : std::string_view()};
        }
        echo.insert(echo.end(), args.begin(), args.end());
        Call done = call(args);
        name->run(done);
        out += reply(name, word, done, echo, sep, quit);
        if (*quit) break;
    }
    return out;
}

Call Session::call(std::vector<std::string_view> args) {
    // A transmit time-out keyed down whatever a client last set: the shared
    // state (and the status line that shows it) follows, whatever is asked.
    if (const std::optional<int> ptt = m_rig.ptt()) m_state->ptt = *ptt;
    return Call(m_rig, *m_state, m_connection, std::move(args));
}

std::string Session::reply(const Name* name, std::string_view word, const Call& done,
                           const std::vector<std::string_view>& echo, char sep, bool* quit) {
    const Layout layout = name ? name->layout : Layout::Values;
    const std::string rprt = "RPRT " + std::to_string(done.status) + "\n";
    switch (layout) {
    case Layout::Quit:
        // Hamlib's server confirms, then closes.
        *quit = true;
        return "RPRT 0\n";
    case Layout::Bare: // without echo or status, in either form
        return (sep ? done.fields.front().first + ": " : std::string()) +
               done.fields.front().second + "\n";
    case Layout::Text:
        if (!sep) return done.text;
        break;
    case Layout::TextStatus:
        if (!sep) return done.text + rprt;
        break;
    case Layout::Values:
    case Layout::ValuesThenStatus:
        if (sep) break;
        if (done.status != RigOk || done.fields.empty()) return rprt;
        {
            std::string plain; // the values, one per line
            for (const auto& field : done.fields) plain += field.second + "\n";
            return layout == Layout::Values ? plain : plain + rprt;
        }
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
    if (layout == Layout::Text || layout == Layout::TextStatus) {
        out += done.text;
    } else {
        for (const auto& [label, v] : done.fields) {
            out += label;
            out += ": ";
            out += v;
            out += sep;
        }
    }
    return out + rprt;
}

} // namespace kalimor::rig
