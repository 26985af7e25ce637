#pragma once

#include <cstdint>

class QWidget;

namespace kalimor {

namespace dds {
struct PortSpec;
}

// What the program reads from the store as it starts, and the port it opens:
// the clock, port address, scrolling option and calibration into the shared
// state, the chip onto the board, and the port chosen in Edit > Board...
// (unless the command line chose one). A damaged store never keeps the
// program from starting: each value it cannot use is reported, over
// `window`, and its default used.
class StartUp {
public:
    explicit StartUp(QWidget* window) : m_window(window) {}
    void readSettings();
    // Puts the port named by `choice` on the board, traced with --trace.
    void openPort(const dds::PortSpec& choice);

private:
    std::int16_t readConfiguration(const char* key, std::int16_t defaultValue, std::int16_t lowest,
                                   std::int16_t highest);
    double readCalibration();
    void readBoard(std::int16_t crystalMHz);

    QWidget* m_window;
};

} // namespace kalimor
