#pragma once

#include <QString>

#include <optional>
#include <vector>

namespace kalimor::beacon {

// One key element: down (a dit or a dah) or up, for `units` dit lengths.
struct KeyElement {
    bool down = false;
    bool dah = false; // DFCW sends a dah as the upper tone
    int units = 1;
};

// International Morse for `text`: a dit is one unit, a dah three, one unit
// between the elements of a character, three between characters and seven
// between words; the text ends with a word's space, so "PARIS" is 50 units.
// Nothing, with the character, for what Morse has no code for.
std::optional<std::vector<KeyElement>> morse(const QString& text, QString* why);

// The dit length for a speed in words per minute (PARIS): 1200 / WPM ms.
inline double ditSecondsForWpm(int wpm) {
    return 1.2 / wpm;
}

} // namespace kalimor::beacon
