#include "Morse.h"

#include <QHash>

namespace kalimor::beacon {

namespace {

const QHash<QChar, const char*>& codes() {
    static const QHash<QChar, const char*> table = {
        {'A', ".-"},     {'B', "-..."},  {'C', "-.-."},   {'D', "-.."},   {'E', "."},
        {'F', "..-."},   {'G', "--."},   {'H', "...."},   {'I', ".."},    {'J', ".---"},
        {'K', "-.-"},    {'L', ".-.."},  {'M', "--"},     {'N', "-."},    {'O', "---"},
        {'P', ".--."},   {'Q', "--.-"},  {'R', ".-."},    {'S', "..."},   {'T', "-"},
        {'U', "..-"},    {'V', "...-"},  {'W', ".--"},    {'X', "-..-"},  {'Y', "-.--"},
        {'Z', "--.."},   {'0', "-----"}, {'1', ".----"},  {'2', "..---"}, {'3', "...--"},
        {'4', "....-"},  {'5', "....."}, {'6', "-...."},  {'7', "--..."}, {'8', "---.."},
        {'9', "----."},  {'/', "-..-."}, {'?', "..--.."}, {'=', "-...-"}, {'.', ".-.-.-"},
        {',', "--..--"}, {'+', ".-.-."}, {'-', "-....-"},
    };
    return table;
}

} // namespace

std::optional<std::vector<KeyElement>> morse(const QString& text, QString* why) {
    std::vector<KeyElement> out;
    auto gap = [&](int units) {
        // Gaps merge: the space after a character grows to a word's.
        if (!out.empty() && !out.back().down)
            out.back().units = std::max(out.back().units, units);
        else if (!out.empty())
            out.push_back({false, false, units});
    };
    for (const QChar c : text.toUpper()) {
        if (c.isSpace()) {
            gap(7);
            continue;
        }
        const char* code = codes().value(c, nullptr);
        if (!code) {
            *why = QStringLiteral("Morse has no code for \"%1\"").arg(c);
            return std::nullopt;
        }
        for (const char* e = code; *e; ++e) {
            out.push_back({true, *e == '-', *e == '-' ? 3 : 1});
            out.push_back({false, false, e[1] ? 1 : 3});
        }
    }
    gap(7);
    if (out.empty()) {
        *why = QStringLiteral("there is no text to send");
        return std::nullopt;
    }
    return out;
}

} // namespace kalimor::beacon
