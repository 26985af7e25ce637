#pragma once

#include "beacon/Beacon.h"

#include <QMainWindow>
#include <QTimer>

#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;

namespace kalimor {

// Tools > Beacon...: WSPR, CW and QRSS from the board. The fields become a
// BeaconSetup; Start sends on the schedule until Stop, Send once sends one
// frame (or the text once) at once. The window shows the next frame's time,
// the symbol under way, the frames sent and a log of them.
class FormBeacon : public QMainWindow {
    Q_OBJECT
public:
    explicit FormBeacon(QWidget* owner);
    ~FormBeacon() override;

    void cmdStart_Click();
    void cmdOnce_Click();
    void cmdStop_Click();
    // What the fields say; nothing, with the reason, when they do not.
    std::optional<beacon::BeaconSetup> setup(QString* why) const;
    beacon::Beacon* beacon() const { return m_beacon.get(); }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void start(bool once);
    void modeChanged();
    void showProgress();
    void saveFields();
    void loadFields();

    std::unique_ptr<beacon::Beacon> m_beacon;
    QTimer m_progress;
    beacon::UtcClock::time_point m_frameStart;
    bool m_inFrame = false;

    QComboBox* cboMode;
    QLineEdit* txtCall;
    QLineEdit* txtGrid;
    QSpinBox* spnDbm;
    QLineEdit* txtDials;
    QSpinBox* spnOffset;
    QCheckBox* chkRandomOffset;
    QSpinBox* spnTxPercent;
    QCheckBox* chkIgnoreClock;
    QLineEdit* txtText;
    QSpinBox* spnWpm;
    QComboBox* cboKeying;
    QSpinBox* spnShift;
    QLabel* lblClicks;
    QPushButton* cmdStart;
    QPushButton* cmdOnce;
    QPushButton* cmdStop;
    QLabel* lblNext;
    QLabel* lblSymbol;
    QLabel* lblFrames;
    QListWidget* lstLog;
};

} // namespace kalimor
