#include "Kalimor.h"

#include "app/StartUp.h"

#include "about/About.h"
#include "analyser/FormAnalyser.h"
#include "beacon/FormBeacon.h"
#include "core/Calibration.h"
#include "core/Error.h"
#include "core/Numbers.h"
#include "dds/Board.h"
#include "dds/Port.h"
#include "dds/PortSpec.h"
#include "dds/mdlSetKalimor.h"
#include "dialogs/FormBoard.h"
#include "dialogs/FormCalibrate.h"
#include "dialogs/FormProp.h"
#include "digital/FormDigital.h"
#include "settings/CSetting.h"
#include "sweep/FormSweep.h"
#include "ui/FrequencyEntry.h"
#include "ui/Globals.h"
#include "ui/Holders.h"
#include "ui/Ui.h"

#include <QApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTimer>

#include <cmath>

namespace kalimor {

using ui::place;
using ui::twips;

namespace {
// What a journal line says when a load fails without a screen.
const QString LoadFailed = QStringLiteral("the board was not loaded");
} // namespace

Kalimor::Kalimor(QWidget* parent) : QMainWindow(parent) {
    // 480 twips wider than first drawn: the range message ("Between 0.1Hz and
    // 30,000,000Hz") and the phase readout did not fit side by side, and the
    // phase bar needs the frame's height to show where its thumb is. The
    // frame's title stands above its line in the layout font: the controls
    // start `Below` lower than first drawn, or the text box and the phase
    // bar cover the line.
    constexpr int Below = 45;
    QWidget* client =
        ui::setUpMainWindow(this, "Kalimor", QStringLiteral("Kalimor"), 4575, 2625 + Below);

    frmDDSControl = place(new QGroupBox(QStringLiteral(" Kalimor Control "), client),
                          "frmDDSControl", twips(120, 600, 4335, 1455 + Below));
    cmdExit = place(new QPushButton(QStringLiteral("Exit"), client), "cmdExit",
                    twips(3480, 2160 + Below, 975, 375));
    cmdSweep = place(new QPushButton(QStringLiteral("Sweep"), client), "cmdSweep",
                     twips(120, 2160 + Below, 975, 375));

    txtFreq = place(new QLineEdit(QStringLiteral("1000"), frmDDSControl), "txtFreq",
                    twips(120, 240 + Below, 1095, 285));
    txtFreq->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    const int optLeft[] = {1320, 2040, 2760}, optWidth[] = {735, 615, 540};
    for (int i = 0; i < 3; ++i) {
        optFreqMult[i] = place(
            new QRadioButton(QLatin1String(Globals::multiplierRow(i)->caption), frmDDSControl),
            "optFreqMult", twips(optLeft[i], 240 + Below, optWidth[i], 255), i);
    }
    optFreqMult[2]->setChecked(true);

    VSPhase = place(new ui::ScrollBar(Qt::Vertical, frmDDSControl), "VSPhase",
                    twips(4020, 240 + Below, 255, 1095));
    VSPhase->setRange(0, 31);
    VSPhase->setSingleStep(1);
    VSPhase->setPageStep(1);
    HSFreq = place(new ui::ScrollBar(Qt::Horizontal, frmDDSControl), "HSFreq",
                   twips(120, 720 + Below, 3615, 255));
    HSFreq->setRange(0, 30000);
    HSFreq->setSingleStep(1);
    HSFreq->setPageStep(10);
    // Value changes arrive when the thumb is released; sliderMoved reports the drag.
    for (QScrollBar* bar : {VSPhase, HSFreq}) {
        bar->setTracking(false);
        bar->setValue(0);
    }

    // The phase readout keeps a pixel or two from the phase bar beside it.
    lblResult = place(new QLabel(QStringLiteral("Freq in Hex"), frmDDSControl), "lblResult",
                      twips(120, 1080 + Below, 2850, 255));
    lblResult->setAlignment(Qt::AlignCenter);
    Label1 = place(new QLabel(QStringLiteral("Phs:"), frmDDSControl), "Label1",
                   twips(2970, 1080 + Below, 420, 255));
    Label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblPhase = place(new QLabel(QStringLiteral("phase"), frmDDSControl), "lblPhase",
                     twips(3390, 1080 + Below, 600, 255));
    lblPhase->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    // Tab order: txtFreq, the three units, Exit, VSPhase, HSFreq, Sweep.
    QWidget* order[] = {txtFreq, optFreqMult[0], optFreqMult[1], optFreqMult[2],
                        cmdExit, VSPhase,        HSFreq,         cmdSweep};
    for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
    txtFreq->setFocus();

    auto* file = menuBar()->addMenu(QStringLiteral("File"));
    file->setObjectName(QStringLiteral("MainMenuFile"));
    auto* edit = menuBar()->addMenu(QStringLiteral("Edit"));
    edit->setObjectName(QStringLiteral("MainMenuEdit"));
    auto* tools = menuBar()->addMenu(QStringLiteral("Tools"));
    tools->setObjectName(QStringLiteral("MainMenuTools"));
    auto* help = menuBar()->addMenu(QStringLiteral("Help"));
    help->setObjectName(QStringLiteral("MainMenuHelp"));
    auto addItem = [this](QMenu* menu, const char* name, const char* caption,
                          void (Kalimor::*handler)()) {
        QAction* action = menu->addAction(QLatin1String(caption));
        action->setObjectName(QLatin1String(name));
        connect(action, &QAction::triggered, this, handler);
    };
    addItem(file, "MainMenuExit", "Exit", &Kalimor::MainMenuExit_Click);
    addItem(edit, "MainMenuProp", "Properties", &Kalimor::MainMenuProp_Click);
    addItem(edit, "MainMenuCalibrate", "Calibrate...", &Kalimor::MainMenuCalibrate_Click);
    addItem(edit, "MainMenuBoard", "Board...", &Kalimor::MainMenuBoard_Click);
    addItem(tools, "MainMenuAnalyser", "Network Analyser...", &Kalimor::MainMenuAnalyser_Click);
    addItem(tools, "MainMenuBeacon", "Beacon...", &Kalimor::MainMenuBeacon_Click);
    addItem(tools, "MainMenuDigital", "Digital Modes...", &Kalimor::MainMenuDigital_Click);
    addItem(help, "MainMenuAbout", "About Kalimor", &Kalimor::MainMenuAbout_Click);
    addItem(help, "MainMenuCorvane", "About Corvane", &Kalimor::MainMenuCorvane_Click);
    addItem(help, "MainMenuPortIO", "About PortIO", &Kalimor::MainMenuPortIO_Click);

    // Lines under the client area: what the last send did, the port, and the
    // remote-control server when there is one; too little width to share a line.
    statusLines = new QWidget(this);
    QWidget* status = statusLines;
    auto* rows = new QGridLayout(status);
    rows->setContentsMargins(2, 0, 2, 0);
    rows->setSpacing(0);
    statusCause = new ui::StatusText(status);
    statusCause->setObjectName(QStringLiteral("statusCause"));
    statusBackend = new ui::StatusText(status);
    statusBackend->setObjectName(QStringLiteral("statusBackend"));
    statusRemote = new ui::StatusText(status);
    statusRemote->setObjectName(QStringLiteral("statusRemote"));
    statusRemote->hide();
    rows->addWidget(statusCause, 0, 0);
    rows->addWidget(statusBackend, 1, 0);
    rows->addWidget(statusRemote, 2, 0);
    statusBar()->addWidget(status, 1);
    statusBar()->setSizeGripEnabled(false);
    m_readoutTimer = new QTimer(this);
    m_readoutTimer->setSingleShot(true);
    connect(m_readoutTimer, &QTimer::timeout, this, &Kalimor::showDueReadout);

    m_entry = new ui::FrequencyEntry(txtFreq, HSFreq, &Updating, this);
    connect(txtFreq, &QLineEdit::textChanged, this, &Kalimor::txtFreq_Change);
    connect(m_entry, &ui::FrequencyEntry::keyTyped, this, &Kalimor::txtFreq_KeyPress);
    for (int i = 0; i < 3; ++i)
        connect(optFreqMult[i], &QRadioButton::toggled, this, [this, i](bool on) {
            if (on) optFreqMult_Click(i);
        });
    connect(HSFreq, &QScrollBar::valueChanged, this, &Kalimor::HSFreq_Change);
    connect(HSFreq, &QScrollBar::sliderMoved, this, &Kalimor::HSFreq_Scroll);
    connect(VSPhase, &QScrollBar::valueChanged, this, &Kalimor::VSPhase_Change);
    connect(VSPhase, &QScrollBar::sliderMoved, this, &Kalimor::VSPhase_Scroll);
    connect(cmdExit, &QPushButton::clicked, this, &Kalimor::cmdExit_Click);
    connect(cmdSweep, &QPushButton::clicked, this, &Kalimor::cmdSweep_Click);
    connect(&dds::board(), &dds::Board::controllerChanged, this, &Kalimor::boardChangedHands);

    Form_Load();
    refreshBackend();
    // The status bar sits under the client area; nothing is resizable.
    setFixedSize(sizeHint());
}

Kalimor::~Kalimor() {
    // The analyser, a child, gives the board back as it goes: not to a
    // window whose status lines are already gone.
    dds::board().disconnect(this);
}

void Kalimor::Form_Load() {
    InitFromSettings();
}

void Kalimor::openPort(const dds::PortSpec& choice) {
    StartUp(this).openPort(choice);
}

void Kalimor::InitFromSettings() {
    StartUp(this).readSettings();

    Updating = true;
    optFreqMult_Click(2); // its text change is refused: Updating is set
    txtFreq->setText(formatNumber(1000.0, Globals::FreqFormat));
    try {
        Globals::FreqHz = parseLocaleDouble(txtFreq->text()) * Globals::FreqMult;
        HSFreq->setValue(toInt16(Globals::FreqHz / Globals::FreqMult * Globals::ScrollScale));
    } catch (const Error&) {
        // The text was just written in this locale's format; SendFrequency has
        // already shown any trouble with it.
    }
    Updating = false;
    lblPhase->setText(QString::number(VSPhase->value() * 11.25));
    VSPhase->setValue(VSPhase->minimum());
    SendFrequency();
}

QString Kalimor::explain(const Error& e) const {
    if (e.number() == err::TypeMismatch)
        return QStringLiteral("\"%1\" is not a number").arg(txtFreq->text());
    return loadFailureCause(e, Globals::FreqHz, Globals::RefClkHz);
}

void Kalimor::SendFrequency() {
    m_lastSend = SendResult::Failed;
    if (Updating) return showSendFailure(QString());
    try {
        Updating = true;
        const ui::FrequencyReading reading = m_entry->read();
        if (!reading.hz) throw *reading.error;
        Globals::FreqHz = *reading.hz;
        const bool inRange = reading.inRange;
        if (inRange) {
            HSFreq->setValue(toInt16(Globals::FreqHz / Globals::FreqMult * Globals::ScrollScale));
        } else {
            Globals::FreqHz = 0; // powers the chip down with a zero word
            HSFreq->setValue(0);
            ui::showFailure(lblResult, ui::FrequencyEntry::rangeMessage());
        }
        if (reading.error) throw *reading.error;
        const std::int32_t word = reading.word;
        const std::int16_t powerDown = inRange ? 0 : 1;
        if (inRange) ui::showGood(lblResult, QStringLiteral("0x") + hexUpper(word));
        Globals::PowerDown = powerDown;
        dds::board().setAddress(Globals::PortAddress);
        WriteDDSWord(word, Globals::PhaseStep, powerDown);
        m_sent = true;
        m_sentWord = word;
        m_sentPhase = Globals::PhaseStep;
        m_sentPowerDown = powerDown;
        m_lastSend = inRange ? SendResult::Sent : SendResult::OutOfRange;
        Updating = false;
        m_cause.clear();
        ui::reportHeadless(LoadFailed, QString());
        if (m_fromRemote && inRange)
            showRemoteReadout(word, Globals::RefClkHz, Globals::FreqHz);
        else
            showCause(inRange ? producedReadout(word, Globals::RefClkHz, Globals::FreqHz)
                              : QString());
        lblResult->setToolTip(QString());
        refreshBackend();
    } catch (const Error& e) {
        showSendFailure(explain(e));
        if (e.number() == err::PortAccess) m_lastSend = SendResult::PortFailed;
        if (e.number() == err::BoardHeld) m_lastSend = SendResult::Refused;
    }
}

void Kalimor::showSendFailure(const QString& cause) {
    ui::showFailure(lblResult, ui::FrequencyEntry::rangeMessage());
    Globals::PowerDown = 1;
    Updating = false;
    if (!cause.isEmpty()) {
        ui::reportHeadless(LoadFailed, cause);
        m_cause = cause;
        showCause(cause);
        lblResult->setToolTip(cause);
    }
    refreshBackend();
}

FormSweep* Kalimor::sweepWindow() const {
    return m_sweep;
}

rig::Rig* Kalimor::followerRig() const {
    return m_digital ? m_digital->catRig() : nullptr;
}

QString Kalimor::failureCause() const {
    return m_cause;
}

Kalimor::SendResult Kalimor::setFrequencyFromRemote(double hz) {
    const int index = hz <= 3'000 ? 2 : hz <= 300'000 ? 1 : 0;
    const Globals::MultiplierRow* row = Globals::multiplierRow(index);
    {
        // A unit switch by click would send the old frequency in the new unit first.
        const QSignalBlocker quiet(optFreqMult[static_cast<size_t>(index)]);
        optFreqMult[static_cast<size_t>(index)]->setChecked(true);
    }
    Globals::applyMultiplier(*row);
    HSFreq->setPageStep(row->largeChange);
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    const QString text = locale.toString(hz / row->freqMult, 'f', QLocale::FloatingPointShortest);
    m_fromRemote = true;
    if (txtFreq->text() == text)
        SendFrequency(); // the same text raises no change
    else
        txtFreq->setText(text);
    m_fromRemote = false;
    return m_lastSend;
}

void Kalimor::showCause(const QString& text) {
    m_readoutTimer->stop(); // a readout still due is older than this
    statusCause->setStatus(text);
}

void Kalimor::showRemoteReadout(std::int32_t word, double refClkHz, double hz) {
    m_readoutDue = {word, refClkHz, hz};
    if (m_readoutTimer->isActive()) return;
    const qint64 since = m_readoutShown.isValid() ? m_readoutShown.elapsed() : ReadoutInterval;
    if (since >= ReadoutInterval)
        showDueReadout();
    else
        m_readoutTimer->start(int(ReadoutInterval - since));
}

void Kalimor::showDueReadout() {
    m_readoutShown.start();
    statusCause->setStatus(
        producedReadout(m_readoutDue.word, m_readoutDue.refClkHz, m_readoutDue.hz));
}

void Kalimor::setRemoteStatus(const QString& text) {
    m_serverStatus = text;
    const QString note = ui::holderNote(dds::board().controller());
    statusRemote->setStatus(note.isEmpty() ? text : text + QStringLiteral(" - ") + note);
    if (statusRemote->isHidden()) {
        statusRemote->show();
        ui::refitStatusBar(statusRemote); // one more line
    }
}

void Kalimor::boardChangedHands(dds::Controller holder) {
    if (!m_serverStatus.isEmpty()) setRemoteStatus(m_serverStatus);
    if (holder != dds::Controller::Vfo) return;
    // Back from the sweep (Done leaves its last tick on the board) or from a
    // tool that did not put this window's word back: say what is there.
    const dds::Held held = dds::board().held();
    if (!held.any || (m_sent && held.word == m_sentWord && held.phase == m_sentPhase &&
                      held.powerDown == m_sentPowerDown))
        return;
    showCause(held.powerDown
                  ? QStringLiteral("The board is powered down; your next change here sends")
                  : QStringLiteral("The board holds %1 Hz; your next change here sends")
                        .arg(QLocale().toString(producedHz(held.word, Globals::RefClkHz), 'f', 3)));
}

void Kalimor::refreshBackend() {
    statusBackend->setStatus(dds::board().describePort());
}

void Kalimor::optFreqMult_Click(int Index) {
    const Globals::MultiplierRow* row = Globals::multiplierRow(Index);
    if (row) {
        optFreqMult[static_cast<size_t>(Index)]->setChecked(true);
        Globals::applyMultiplier(*row);
        HSFreq->setPageStep(row->largeChange);
    }
    txtFreq->setText(formatNumber(Globals::FreqHz / Globals::FreqMult, Globals::FreqFormat));
}

void Kalimor::txtFreq_Change() {
    m_entry->fillIfEmpty();
    SendFrequency();
}

void Kalimor::txtFreq_KeyPress(int KeyAscii) {
    m_entry->fillOnEnter(KeyAscii);
}

void Kalimor::HSFreq_Change() {
    m_entry->followBar();
}

void Kalimor::HSFreq_Scroll() {
    m_entry->followThumb();
}

void Kalimor::applyPhase(int step) {
    Globals::PhaseStep = static_cast<std::int16_t>(step);
    lblPhase->setText(formatNumber(Globals::PhaseStep * 11.25, QStringLiteral("##0.00")));
    SendFrequency();
}

void Kalimor::VSPhase_Change() {
    applyPhase(VSPhase->value());
}

void Kalimor::VSPhase_Scroll() {
    if (Globals::OptionCWS != 0) applyPhase(VSPhase->sliderPosition());
}

void Kalimor::MainMenuAnalyser_Click() {
    if (!m_analyser) m_analyser = new FormAnalyser(this);
    ui::bringForward(m_analyser);
}

void Kalimor::MainMenuBeacon_Click() {
    if (!m_beacon) m_beacon = new FormBeacon(this);
    ui::bringForward(m_beacon);
}

void Kalimor::MainMenuDigital_Click() {
    if (!m_digital) m_digital = new FormDigital(this);
    ui::bringForward(m_digital);
}

void Kalimor::MainMenuBoard_Click() {
    if (!m_board) {
        m_board = new FormBoard(this, [this](const dds::PortSpec& choice) { openPort(choice); });
        connect(m_board, &FormBoard::applied, this, &Kalimor::SendFrequency);
    }
    ui::bringForward(m_board);
}

void Kalimor::MainMenuCalibrate_Click() {
    if (!m_calibrate) {
        // The word the board holds, whichever window (or client) sent it.
        m_calibrate = new FormCalibrate(this, [] {
            const dds::Held held = dds::board().held();
            return held.any && held.powerDown == 0 ? held.word : 0;
        });
        // The correction acts at once: the current frequency goes out again.
        connect(m_calibrate, &FormCalibrate::applied, this, [this] {
            // While another holds the board only it loads: a running sweep's
            // next tick uses the new clock, as does the analyser's next point.
            if (m_sweep)
                m_sweep->settingsChanged();
            else if (dds::board().controller() == dds::Controller::Vfo)
                SendFrequency();
        });
    }
    ui::bringForward(m_calibrate);
}

void Kalimor::cmdExit_Click() {
    ui::endProgram();
}
void Kalimor::MainMenuExit_Click() {
    ui::endProgram();
}

void Kalimor::cmdSweep_Click() {
    if (const auto holder = dds::board().claim(dds::Controller::Sweep)) {
        ui::showMessage(this, QStringLiteral("Kalimor"), ui::refusalText(*holder));
        return;
    }
    auto* sweep = new FormSweep(this, txtFreq->text());
    sweep->move(pos());
    sweep->show();
    hide();
    m_sweep = sweep;
}
void Kalimor::MainMenuProp_Click() {
    // One dialog at a time: choosing the item again brings it forward unchanged.
    if (!m_properties) m_properties = new FormProp(this);
    ui::bringForward(m_properties);
}
void Kalimor::MainMenuAbout_Click() {
    About().run();
}
void Kalimor::MainMenuCorvane_Click() {
    AboutCorvane().run();
}
void Kalimor::MainMenuPortIO_Click() {
    AboutPortIO().run();
}

} // namespace kalimor
