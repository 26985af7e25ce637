#pragma once

#include "sweep/SweepState.h"

#include <QElapsedTimer>
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
class StatusText;
}

class SweepClock;

// The sweep window: a High row (index 0) and a Low row (index 1), each typed or
// scrolled, and a triangle sweep between them, one load every 10 ms. Editing a
// limit shows its tuning word but sends nothing; only ticks write the board.
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
    void swpTimer_Timer();

    const SweepState& sweep() const { return m_sweep; }
    double SwpFreqHzOf(int index) const { return SwpFreqHz[static_cast<size_t>(index)]; }
    std::int32_t SwpWordOf(int index) const { return SwpWord[static_cast<size_t>(index)]; }
    SweepClock* timer() const { return swpTimer; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_Load(const QString& mainFrequencyText);
    void ValidateSwpFreq(int Index);
    QString rangeMessage() const;
    void showPosition(int Index, int position);

    QPointer<QWidget> m_main;
    bool Updating = false;
    bool m_done = false;
    std::array<double, 3> SwpFreqHz{};
    std::array<std::int32_t, 3> SwpWord{};
    SweepState m_sweep;
    int LastInc = 0;
    QElapsedTimer m_readoutAge; // since the status line last showed a tick's output
    bool m_tickFailed = false;

    std::array<QLineEdit*, 2> txtFreq{};
    std::array<QLabel*, 2> lblFreq{};
    std::array<QLabel*, 2> lblFreqText{};
    std::array<QScrollBar*, 2> HSFreq{};
    std::array<QLabel*, 2> lblResult{};
    std::array<QRadioButton*, 3> optSwpInc{};
    QLabel* TxtSwpCurFreq = nullptr;
    ui::StatusText* statusCause = nullptr;
    QPushButton* cmdStart = nullptr;
    QPushButton* cmdStop = nullptr;
    QPushButton* cmdDone = nullptr;
    SweepClock* swpTimer = nullptr;
};

} // namespace kalimor
