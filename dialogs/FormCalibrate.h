#pragma once

#include <QDialog>

#include <cstdint>
#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace kalimor {

// Calibrates the reference clock: either the correction in ppm is typed, or
// the frequency a counter measured at the current setting, from which the
// true clock follows. The resulting clock is shown before OK stores the
// correction ("ReferenceClkPPM") and puts it into effect.
class FormCalibrate : public QDialog {
    Q_OBJECT
public:
    // `lastWord` tells the tuning word the board holds (0: none).
    FormCalibrate(QWidget* owner, std::function<std::int32_t()> lastWord);

    void cmdOK_Click();

Q_SIGNALS:
    // The new calibration is in the global state; the current frequency should go out again.
    void applied();

private:
    struct Outcome {
        bool ok = false;
        double ppm = 0;
        QString problem;
    };
    Outcome evaluate() const;
    void preview();

    std::function<std::int32_t()> m_lastWord;
    QRadioButton* optPpm;
    QRadioButton* optMeasured;
    QLineEdit* txtPpm;
    QLineEdit* txtMeasured;
    QLabel* lblSetting;
    QLabel* lblClock;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
};

} // namespace kalimor
