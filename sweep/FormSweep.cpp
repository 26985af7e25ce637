#include "FormSweep.h"

#include "about/About.h"
#include "core/Calibration.h"
#include "core/Error.h"
#include "core/Numbers.h"
#include "dds/mdlSetKalimor.h"
#include "ui/FrequencyEntry.h"
#include "ui/Globals.h"
#include "ui/Ui.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStatusBar>

namespace kalimor {

using ui::place;
using ui::twips;

namespace {

constexpr std::int16_t increments[] = {1, 10, 100};

} // namespace

FormSweep::FormSweep(QWidget* mainWindow, const QString& mainFrequencyText) : m_main(mainWindow) {
    QWidget* client =
        ui::setUpMainWindow(this, "FormSweep", QStringLiteral("Sweep Generator"), 5100, 4470);
    // 1005 twips wider than first drawn, so that "High Frequency must be
    // greater than Low Frequency" fits its row at the default font.
    setAttribute(Qt::WA_DeleteOnClose);

    cmdStart = place(new QPushButton(QStringLiteral("Start"), client), "cmdStart",
                     twips(120, 3960, 975, 375));
    cmdStop = place(new QPushButton(QStringLiteral("Stop"), client), "cmdStop",
                    twips(2063, 3960, 975, 375));
    cmdDone = place(new QPushButton(QStringLiteral("Done"), client), "cmdDone",
                    twips(4005, 3960, 975, 375));
    cmdStop->setEnabled(false);

    auto* frame = place(new QGroupBox(QStringLiteral("Sweep Generator Settings"), client), "Frame1",
                        twips(120, 600, 4860, 3135));
    // Row i: 1 is Low (upper on screen), 0 is High.
    const int rowTop[] = {1320, 240};
    for (int i = 0; i < 2; ++i) {
        const int top = rowTop[i];
        const auto k = static_cast<size_t>(i);
        txtFreq[k] = place(new QLineEdit(QStringLiteral("1000"), frame), "txtFreq",
                           twips(120, top, 1095, 285), i);
        txtFreq[k]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        QPalette white = txtFreq[k]->palette();
        white.setColor(QPalette::Base, Qt::white);
        txtFreq[k]->setPalette(white);
        lblFreq[k] = place(new QLabel(QStringLiteral("Hz"), frame), "lblFreq",
                           twips(1320, top, 375, 255), i);
        lblFreqText[k] = place(
            new QLabel(i == 0 ? QStringLiteral("High Frequency") : QStringLiteral("Low Frequency"),
                       frame),
            "lblFreqText", twips(3405, top + 120, 1335, 255), i);
        lblFreqText[k]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        HSFreq[k] = place(new ui::ScrollBar(Qt::Horizontal, frame), "HSFreq",
                          twips(120, top + 360, 4620, 255), i);
        HSFreq[k]->setRange(0, 30000);
        HSFreq[k]->setSingleStep(1);
        HSFreq[k]->setPageStep(1);
        HSFreq[k]->setTracking(false);
        lblResult[k] = place(new QLabel(QStringLiteral("Freq in Hex"), frame), "lblResult",
                             twips(240, top + 720, 4380, 255), i);
        lblResult[k]->setAlignment(Qt::AlignCenter);
    }
    auto* label1 = place(new QLabel(QStringLiteral("Swep Increment Multiplier"), frame), "Label1",
                         twips(120, 2400, 1935, 255));
    label1->setAlignment(Qt::AlignCenter);
    // The caption was laid out for a narrower font; let it run past its box
    // rather than lose letters (nothing stands to its right on that line).
    label1->resize(std::max(label1->width(), label1->sizeHint().width()), label1->height());
    const int optLeft[] = {240, 840, 1440}, optWidth[] = {855, 540, 735};
    for (int i = 0; i < 3; ++i)
        optSwpInc[static_cast<size_t>(i)] =
            place(new QRadioButton(QString::number(increments[i]), frame), "optSwpInc",
                  twips(optLeft[i], 2640, optWidth[i], 375), i);
    optSwpInc[0]->setChecked(true);
    TxtSwpCurFreq = place(new QLabel(frame), "TxtSwpCurFreq", twips(2760, 2760, 1980, 255));
    TxtSwpCurFreq->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    QWidget* order[] = {cmdStart,  txtFreq[1], txtFreq[0], optSwpInc[0], HSFreq[0],
                        HSFreq[1], cmdDone,    cmdStop,    optSwpInc[1], optSwpInc[2]};
    for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

    auto* help = menuBar()->addMenu(QStringLiteral("Help"));
    help->setObjectName(QStringLiteral("SweepHelp"));
    QAction* about = help->addAction(QStringLiteral("About"));
    about->setObjectName(QStringLiteral("SweepAbout"));
    connect(about, &QAction::triggered, this, [] { About().run(); });

    // What the last tick sent, and how the sweep keeps time.
    auto* status = new QWidget(this);
    auto* rows = new QGridLayout(status);
    rows->setContentsMargins(2, 0, 2, 0);
    rows->setSpacing(0);
    statusCause = new ui::StatusText(status);
    statusCause->setObjectName(QStringLiteral("statusCause"));
    statusSweep = new ui::StatusText(status);
    statusSweep->setObjectName(QStringLiteral("statusSweep"));
    rows->addWidget(statusCause, 0, 0);
    rows->addWidget(statusSweep, 1, 0);
    statusBar()->addWidget(status, 1);
    statusBar()->setSizeGripEnabled(false);

    for (int i = 0; i < 2; ++i) {
        const auto k = static_cast<size_t>(i);
        m_entry[k] = new ui::FrequencyEntry(txtFreq[k], HSFreq[k], &Updating, this);
        connect(txtFreq[k], &QLineEdit::textChanged, this, [this, i] { txtFreq_Change(i); });
        connect(m_entry[k], &ui::FrequencyEntry::keyTyped, this,
                [this, i](int key) { txtFreq_KeyPress(i, key); });
        connect(HSFreq[k], &QScrollBar::valueChanged, this, [this, i] { HSFreq_Change(i); });
        connect(HSFreq[k], &QScrollBar::sliderMoved, this, [this, i] { HSFreq_Scroll(i); });
    }
    for (int i = 0; i < 3; ++i)
        connect(optSwpInc[static_cast<size_t>(i)], &QRadioButton::toggled, this,
                [this, i](bool on) {
                    if (on) optSwpInc_Click(i);
                });
    connect(cmdStart, &QPushButton::clicked, this, &FormSweep::cmdStart_Click);
    connect(cmdStop, &QPushButton::clicked, this, &FormSweep::cmdStop_Click);
    connect(cmdDone, &QPushButton::clicked, this, &FormSweep::cmdDone_Click);
    connect(&dds::board(), &dds::Board::swept, this, [this](const dds::SweepTick& tick) {
        // Readouts queued before Stop must not overwrite what Stop showed.
        if (m_running) showTick(tick);
    });

    Form_Load(mainFrequencyText);
    setFixedSize(sizeHint());
}

FormSweep::~FormSweep() {
    dds::board().release(dds::Controller::Sweep);
}

void FormSweep::Form_Load(const QString& mainFrequencyText) {
    SwpFreqHz[0] = SwpFreqHz[1] = 0;
    txtFreq[0]->setText(mainFrequencyText);
    txtFreq[1]->setText(mainFrequencyText);
    lblFreq[0]->setText(Globals::FreqUnit);
    lblFreq[1]->setText(Globals::FreqUnit);
    ValidateSwpFreq(0);
    ValidateSwpFreq(1);
    m_increment = 1;
}

void FormSweep::ValidateSwpFreq(int Index) {
    if (Updating) return;
    Updating = true;
    const auto i = static_cast<size_t>(Index);
    const ui::FrequencyReading reading = m_entry[i]->read();
    const bool valid = reading.hz && reading.inRange && !reading.error;
    SwpFreqHz[i] = valid ? *reading.hz : 0;
    SwpWord[i] = valid ? reading.word : 0;
    if (!valid) {
        HSFreq[i]->setValue(0);
        ui::showFailure(lblResult[i], ui::FrequencyEntry::rangeMessage());
    } else if (SwpFreqHz[1] > SwpFreqHz[0]) {
        ui::showFailure(lblResult[i],
                        QStringLiteral("High Frequency must be greater than Low Frequency"));
    } else {
        HSFreq[i]->setValue(toInt16(SwpFreqHz[i] / Globals::FreqMult * Globals::ScrollScale));
        ui::showGood(lblResult[i], QStringLiteral("0x") + hexUpper(SwpWord[i]));
    }
    Updating = false;
}

void FormSweep::txtFreq_Change(int Index) {
    m_entry[static_cast<size_t>(Index)]->fillIfEmpty();
    ValidateSwpFreq(Index);
}

void FormSweep::txtFreq_KeyPress(int Index, int KeyAscii) {
    m_entry[static_cast<size_t>(Index)]->fillOnEnter(KeyAscii);
    // Enter in an unchanged box thus refreshes the row after the other one moved.
    ValidateSwpFreq(Index);
}

void FormSweep::HSFreq_Change(int Index) {
    m_entry[static_cast<size_t>(Index)]->followBar();
    pushPlan(); // a running sweep turns at the new limit from its next tick
}

void FormSweep::HSFreq_Scroll(int Index) {
    m_entry[static_cast<size_t>(Index)]->followThumb();
}

void FormSweep::optSwpInc_Click(int Index) {
    if (Index < 0 || Index > 2) return;
    optSwpInc[static_cast<size_t>(LastInc)]->setChecked(false);
    LastInc = Index;
    optSwpInc[static_cast<size_t>(Index)]->setChecked(true);
    m_increment = increments[Index];
    pushPlan();
}

dds::SweepPlan FormSweep::plan() const {
    dds::SweepPlan p;
    p.high = HSFreq[0]->value();
    p.low = HSFreq[1]->value();
    p.increment = m_increment;
    p.scrollScale = Globals::ScrollScale;
    p.freqMult = Globals::FreqMult;
    p.refClkHz = Globals::RefClkHz;
    p.phase = Globals::PhaseStep;
    p.powerDown = Globals::PowerDown;
    return p;
}

void FormSweep::pushPlan() {
    if (m_running) dds::board().updateSweep(plan());
}

SweepState FormSweep::sweep() const {
    if (m_running) return dds::board().sweepState();
    SweepState idle;
    idle.SwpInc = m_increment;
    return idle;
}

void FormSweep::cmdStart_Click() {
    cmdStop->setEnabled(true);
    cmdStart->setEnabled(false);
    cmdDone->setEnabled(false);
    dds::board().setAddress(Globals::PortAddress);
    dds::board().startSweep(plan(), m_clocked);
    m_running = true;
    statusSweep->setStatus(QStringLiteral("Sweep: %1").arg(dds::board().scheduling()));
}

void FormSweep::cmdStop_Click() {
    const bool wasRunning = m_running;
    m_running = false;
    const dds::SweepTick last = dds::board().stopSweep();
    // What the board holds now, not a readout from up to a display period ago.
    if (wasRunning && last.ticks > 0) showTick(last);
    cmdStop->setEnabled(false);
    cmdStart->setEnabled(true);
    cmdDone->setEnabled(true);
}

void FormSweep::cmdDone_Click() {
    cmdStop_Click();
    // The board goes back to the main window, still holding the last tick.
    dds::board().release(dds::Controller::Sweep);
    if (m_main) m_main->show();
    m_done = true;
    close();
}

void FormSweep::closeEvent(QCloseEvent* event) {
    // The close box does what Done does, so the main window never stays hidden.
    if (!m_done) {
        cmdStop_Click();
        dds::board().release(dds::Controller::Sweep);
        if (m_main) m_main->show();
        m_done = true;
    }
    QMainWindow::closeEvent(event);
}

void FormSweep::swpTimer_Timer() {
    pushPlan();
    showTick(dds::board().tickNow());
}

void FormSweep::showTick(const dds::SweepTick& tick) {
    const QString caption =
        formatNumber(tick.position / Globals::ScrollScale, Globals::FreqFormat) + QLatin1Char(' ') +
        Globals::FreqUnit;
    if (tick.failure) {
        TxtSwpCurFreq->setText(caption + QStringLiteral(" - not sent"));
        statusCause->setStatus(loadFailureCause(*tick.failure, tick.hz, Globals::RefClkHz));
    } else {
        TxtSwpCurFreq->setText(caption);
        statusCause->setStatus(producedReadout(tick.word, Globals::RefClkHz, tick.hz));
    }
    // How the sweep keeps time, and whether it has: a missed tick is shown.
    statusSweep->setStatus(
        QStringLiteral("Sweep: %1, %2 missed").arg(dds::board().scheduling()).arg(tick.missed));
}

} // namespace kalimor
