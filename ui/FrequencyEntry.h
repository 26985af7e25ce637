#pragma once

#include "core/Error.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <optional>

class QLineEdit;
class QScrollBar;

namespace kalimor::ui {

// What a frequency box holds, read in the current unit.
struct FrequencyReading {
    std::optional<double> hz;   // the text times the unit, in Hz; none when it is no number
    bool inRange = false;       // 0.1 Hz up to the highest the reference clock allows
    std::int32_t word = 0;      // the tuning word of hz in range, of 0 outside it
    std::optional<Error> error; // why hz, or its word, could not be had
};

// One frequency entry of a window: its text box and the scroll bar under it.
// The main window has one, the sweep window one per limit; what they do with
// a reading (load it, check it against the other limit) stays theirs. The
// entry watches the box's keys without swallowing any and tells the window
// through keyTyped, before the box takes the key. A box of a fixed unit
// (the digital-modes dial, in MHz) reads in that unit, not the main window's,
// and may have no bar.
class FrequencyEntry : public QObject {
    Q_OBJECT
public:
    // `updating` is the window's flag that says it moves the bar itself, so
    // that a move is not turned back into text.
    FrequencyEntry(QLineEdit* box, QScrollBar* bar, const bool* updating, QObject* parent);

    // "Between 0.1Hz and ...": what a box out of range, or not a number, shows.
    static QString rangeMessage();
    // The same for this box: a box of a fixed unit has that unit's range.
    QString rangeText() const;

    FrequencyReading read() const;
    // Read in `hz` from now on, whatever unit the main window shows.
    void setUnitHz(double hz) { m_unitHz = hz; }

    // An emptied box holds 0 in the unit's format; setting it raises the
    // box's change again, for the new text.
    void fillIfEmpty();
    // Enter (13) in an empty box fills it as above.
    void fillOnEnter(int keyAscii);
    // The bar's position, moved or set, becomes the box's text unless the
    // window moves it itself.
    void followBar();
    // While the thumb is dragged the text follows only when the program's
    // option says so; otherwise the text changes when the thumb is let go.
    void followThumb();

Q_SIGNALS:
    void keyTyped(int keyAscii);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showPosition(int position);
    double ceilingHz() const;
    static QString between(double ceilingHz);

    QLineEdit* m_box;
    QScrollBar* m_bar;
    const bool* m_updating;
    std::optional<double> m_unitHz;
};

} // namespace kalimor::ui
