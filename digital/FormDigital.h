#pragma once

#include "follow/Follower.h"

#include <QMainWindow>
#include <QTimer>

#include <cstdint>
#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace kalimor {

namespace follow {
class PulseFeed;
class Intake;
class WavFeed;
} // namespace follow

namespace rig {
class Rig;
}

namespace ui {
class FrequencyEntry;
}

namespace digital {
class FollowRig;
}

// Tools > Digital Modes...: the audio follower from a window. The audio of a
// sound-server source or a WAV file becomes the board's output at dial +
// tone while the keying (a client's T 1, or VOX) allows; the window shows
// the level, the tone, the output and the follower's trouble, read from the
// follower ~30 times a second, never from the audio's thread.
class FormDigital : public QMainWindow {
    Q_OBJECT
public:
    explicit FormDigital(QWidget* owner);
    ~FormDigital() override;

    void cmdStart_Click();
    void cmdStop_Click();
    bool running() const { return m_follower != nullptr; }
    // The WAV file the next Start follows, as if chosen from the list.
    void followFile(const QString& path);
    // The follower as the rig a CAT client talks to, while it follows keyed
    // by CAT; otherwise none, and the main window is the clients' rig.
    rig::Rig* catRig() const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void sourceChosen(int index);
    void fillSources(const QString& keep);
    void stop(const QString& why);
    // The fields are fixed while the follower runs; Stop alone stays.
    void showRunning(bool running);
    void showStatus();
    void showStopped(const QString& why);
    void saveFields();
    void loadFields();

    follow::FollowSetup m_setup;
    std::unique_ptr<follow::Follower> m_follower;
    std::unique_ptr<digital::FollowRig> m_rig;
    std::unique_ptr<follow::WavFeed> m_wav;
    std::unique_ptr<follow::PulseFeed> m_pulse;
    std::unique_ptr<follow::Intake> m_intake; // the meter on the feed's thread, the stall watch
    QTimer m_watch;                           // the audio stalled: the output goes off
    QTimer m_refresh;                         // what the window shows
    QString m_problem;
    int m_lastSource = 0;
    bool m_quiet = false; // the source list being filled by the program

    QComboBox* cboSource;
    QLineEdit* txtDial;
    ui::FrequencyEntry* m_dial;
    QComboBox* cboKeying;
    QSpinBox* spnThreshold;
    QCheckBox* chkHoldDial;
    QPushButton* cmdStart;
    QPushButton* cmdStop;
    QProgressBar* barLevel;
    QLabel* lblTone;
    QLabel* lblOutput;
    QLabel* lblPtt;
    QLabel* lblDial;
    QLabel* lblProblem;
};

} // namespace kalimor
