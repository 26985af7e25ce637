#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kalimor::rig {

// Cuts a client's byte stream into command lines at '\n', however the bytes
// arrive. A line longer than MaxLine is no command: it is reported once, as
// TooLong, and skipped up to its end, so it never costs more than MaxLine
// bytes of memory.
class LineFramer {
public:
    static constexpr std::size_t MaxLine = 1024;

    enum class Item { None, Line, TooLong };

    void feed(std::string_view bytes);
    // The next line (without its '\n') or TooLong; None until more arrives.
    Item next(std::string* line);
    // Bytes held that are not yet returned.
    std::size_t buffered() const { return m_pending.size() - m_start; }

private:
    std::string m_pending;
    std::size_t m_start = 0;
    bool m_discarding = false; // inside a line that grew too long
};

} // namespace kalimor::rig
