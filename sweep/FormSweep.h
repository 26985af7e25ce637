#pragma once

#include "dds/Board.h"
#include "dds/SweepState.h"

#include <QMainWindow>
#include <QPointer>

#include <array>
#include <cstdint>

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QScrollBar;

namespace kalimor {

namespace ui {
class FrequencyEntry;
class StatusText;
} // namespace ui

// The sweep window: a High row (index 0) and a Low row (index 1), each typed or
// scrolled, and a triangle sweep between them, one load every 10 ms. Editing a
// limit shows its tuning word but sends nothing; only ticks write the board.
// The ticks run on the board's thread (dds::Board); this window hands it the
// limits and is told what was sent.
class FormSweep : public QMainWindow {
    Q_OBJECT
public:
    // `mainWindow` is hidden while this window is open and shown again by Done;
    // the rows start from `mainFrequencyText`.
    FormSweep(QWidget* mainWindow, const QString& mainFrequencyText);
    ~FormSweep() override;

    void txtFreq_Change(int Index);
    void txtFreq_KeyPress(int Index, int KeyAscii);
    void HSFreq_Change(int Index);
    void HSFreq_Scroll(int Index);
    void optSwpInc_Click(int Index);
    void cmdStart_Click();
    void cmdStop_Click();
    void cmdDone_Click();
    // One tick at once, as the clock would give it.
    void swpTimer_Timer();
    // The reference clock or phase changed elsewhere (Calibrate): a running
    // sweep takes it from its next tick.
    void settingsChanged() { pushPlan(); }
    // False: Start leaves the ticks to swpTimer_Timer (tests step a sweep).
    void setClocked(bool clocked) { m_clocked = clocked; }

    // Where the sweep is: the position the next tick sends.
    SweepState sweep() const;
    bool sweeping() const { return m_running; }
    double SwpFreqHzOf(int index) const { return SwpFreqHz[static_cast<size_t>(index)]; }
    std::int32_t SwpWordOf(int index) const { return SwpWord[static_cast<size_t>(index)]; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_Load(const QString& mainFrequencyText);
    void ValidateSwpFreq(int Index);
    dds::SweepPlan plan() const;
    void pushPlan();
    void showTick(const dds::SweepTick& tick);

    QPointer<QWidget> m_main;
    bool Updating = false;
    bool m_done = false;
    std::array<double, 3> SwpFreqHz{};
    std::array<std::int32_t, 3> SwpWord{};
    std::int16_t m_increment = 1;
    int LastInc = 0;
    bool m_clocked = true;
    bool m_running = false;

    std::array<QLineEdit*, 2> txtFreq{};
    std::array<ui::FrequencyEntry*, 2> m_entry{}; // each txtFreq with its HSFreq
    std::array<QLabel*, 2> lblFreq{};
    std::array<QLabel*, 2> lblFreqText{};
    std::array<QScrollBar*, 2> HSFreq{};
    std::array<QLabel*, 2> lblResult{};
    std::array<QRadioButton*, 3> optSwpInc{};
    QLabel* TxtSwpCurFreq = nullptr;
    ui::StatusText* statusCause = nullptr;
    ui::StatusText* statusSweep = nullptr;
    QPushButton* cmdStart = nullptr;
    QPushButton* cmdStop = nullptr;
    QPushButton* cmdDone = nullptr;
};

} // namespace kalimor
