#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>

#include <array>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QScrollBar;
class QTimer;

namespace kalimor {

namespace dds {
struct PortSpec;
struct Controller;
} // namespace dds

namespace rig {
class Rig;
}

namespace ui {
class FrequencyEntry;
class StatusText;
} // namespace ui

class Error;
class FormAnalyser;
class FormBeacon;
class FormBoard;
class FormCalibrate;
class FormDigital;
class FormProp;
class FormSweep;

// The main window: frequency entry, unit buttons, frequency and phase scroll
// bars, and the one path from them to the board, SendFrequency.
//
// Setting a control from code raises its change handler at once, nested in the
// statement that sets it; `Updating` is what stops SendFrequency's own moves of
// the frequency scroll bar from being turned back into text.
class Kalimor : public QMainWindow {
    Q_OBJECT
public:
    explicit Kalimor(QWidget* parent = nullptr);
    ~Kalimor() override;

    void Form_Load();

    // Event handlers, named control_event.
    void txtFreq_Change();
    void txtFreq_KeyPress(int KeyAscii);
    void optFreqMult_Click(int Index);
    void HSFreq_Change();
    void HSFreq_Scroll();
    void VSPhase_Change();
    void VSPhase_Scroll();
    void cmdExit_Click();
    void MainMenuExit_Click();
    void cmdSweep_Click();
    void MainMenuProp_Click();
    void MainMenuCalibrate_Click();
    void MainMenuBoard_Click();
    void MainMenuAnalyser_Click();
    void MainMenuBeacon_Click();
    void MainMenuDigital_Click();
    void MainMenuAbout_Click();
    void MainMenuCorvane_Click();
    void MainMenuPortIO_Click();

    // Why the last send failed when it was not the range; empty after a good
    // send, when the status line shows what the board produces instead.
    QString failureCause() const;

    // How the last SendFrequency ended.
    // Refused: another controller holds the board.
    enum class SendResult { Sent, OutOfRange, Failed, PortFailed, Refused };
    SendResult lastSend() const { return m_lastSend; }

    // Tunes from outside (rigctld): selects the smallest unit whose range holds
    // `hz`, puts every significant digit into txtFreq and lets SendFrequency
    // send it; nothing else reaches the board on the way.
    SendResult setFrequencyFromRemote(double hz);
    // The remote-control server's part of the status bar.
    void setRemoteStatus(const QString& text);
    // Puts the port named by `choice` on the board (traced with --trace).
    void openPort(const dds::PortSpec& choice);
    // The sweep window while it is open.
    FormSweep* sweepWindow() const;
    // The digital-modes follower while it follows keyed by CAT: the rig the
    // clients' F, f and T go to meanwhile.
    rig::Rig* followerRig() const;
    // The board changed hands: the remote line says who holds it, and when it
    // comes back this window says what the board holds, if not its own word.
    void boardChangedHands(dds::Controller holder);

private:
    void InitFromSettings();
    void SendFrequency();
    void showSendFailure(const QString& cause);
    QString explain(const Error& e) const;
    void refreshBackend();
    void applyPhase(int step);
    // What the last send left on the status line. A network client may set
    // thousands of times a second: its readout follows at most every
    // ReadoutInterval, the latest one last; anything else is shown at once.
    void showCause(const QString& text);
    void showRemoteReadout(std::int32_t word, double refClkHz, double hz);
    void showDueReadout();
    static constexpr int ReadoutInterval = 33; // ms, as the sweep's display

    bool Updating = false;

    QGroupBox* frmDDSControl;
    QLineEdit* txtFreq;
    ui::FrequencyEntry* m_entry; // txtFreq with HSFreq
    std::array<QRadioButton*, 3> optFreqMult;
    QScrollBar* VSPhase;
    QScrollBar* HSFreq;
    QLabel* lblResult;
    QLabel* Label1;
    QLabel* lblPhase;
    QPushButton* cmdExit;
    QPushButton* cmdSweep;
    ui::StatusText* statusCause;
    QWidget* statusLines;
    ui::StatusText* statusBackend;
    ui::StatusText* statusRemote;
    SendResult m_lastSend = SendResult::Failed;
    QPointer<FormProp> m_properties;
    QPointer<FormCalibrate> m_calibrate;
    QPointer<FormBoard> m_board;
    QPointer<FormAnalyser> m_analyser;
    QPointer<FormBeacon> m_beacon;
    QPointer<FormDigital> m_digital;
    QString m_cause; // why the last send failed, when not the range
    QString m_serverStatus;
    bool m_fromRemote = false; // the send under way is a network set
    QTimer* m_readoutTimer;
    QElapsedTimer m_readoutShown;
    struct Readout {
        std::int32_t word = 0;
        double refClkHz = 0, hz = 0;
    } m_readoutDue;
    // What this window's last good send left on the board.
    std::int32_t m_sentWord = 0;
    std::int16_t m_sentPhase = 0, m_sentPowerDown = 0;
    bool m_sent = false;
    QPointer<FormSweep> m_sweep;
};

} // namespace kalimor
