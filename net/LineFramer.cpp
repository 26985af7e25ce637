#include "LineFramer.h"

namespace kalimor::rig {

void LineFramer::feed(std::string_view bytes) {
    // Drop what was handed out before growing, so the buffer holds at most
    // what is still to come.
    if (m_start > 0) {
        m_pending.erase(0, m_start);
        m_start = 0;
    }
    m_pending.append(bytes);
}

LineFramer::Item LineFramer::next(std::string* line) {
    for (;;) {
        const std::size_t nl = m_pending.find('\n', m_start);
        if (nl == std::string::npos) {
            if (buffered() <= MaxLine) return Item::None;
            // Not a command any more: forget it and say so once.
            m_pending.clear();
            m_start = 0;
            if (m_discarding) return Item::None;
            m_discarding = true;
            return Item::TooLong;
        }
        const std::size_t length = nl - m_start;
        const std::size_t start = m_start;
        m_start = nl + 1;
        if (m_discarding) { // the end of a line already refused
            m_discarding = false;
            continue;
        }
        if (length > MaxLine) return Item::TooLong;
        line->assign(m_pending, start, length);
        return Item::Line;
    }
}

} // namespace kalimor::rig
