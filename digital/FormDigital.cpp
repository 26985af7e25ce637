#include "FormDigital.h"

#include "core/Numbers.h"
#include "dds/Board.h"
#include "digital/FollowRig.h"
#include "follow/Intake.h"
#include "follow/PulseFeed.h"
#include "follow/WavFeed.h"
#include "settings/CSetting.h"
#include "ui/FrequencyEntry.h"
#include "ui/Globals.h"
#include "ui/Ui.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace kalimor {

namespace {

const QString Section = QStringLiteral("DigitalModes");
const QString Title = QStringLiteral("Digital Modes");
// What each source item carries: the sound server's input ("pulse:" its
// default), a WAV file, or the item that asks for one.
const QString Pulse = QStringLiteral("pulse:");
const QString Wav = QStringLiteral("wav:");
const QString Browse = QStringLiteral("browse");

constexpr int LowestDb = -80; // the level meter's left end

// A list of sources that is current when it opens: the sound server adds
// and drops inputs (a null sink's monitor, a headset) while the window is up.
class SourceBox : public QComboBox {
public:
    SourceBox(QWidget* parent, std::function<void()> refresh)
        : QComboBox(parent), m_refresh(std::move(refresh)) {}
    void showPopup() override {
        m_refresh();
        QComboBox::showPopup();
    }

private:
    std::function<void()> m_refresh;
};

QString megahertz(double hz) {
    return QLocale().toString(hz / 1e6, 'f', 6) + QStringLiteral(" MHz");
}

} // namespace

FormDigital::FormDigital(QWidget* owner) : QMainWindow(owner) {
    ui::setUpToolWindow(this, "FormDigital", Title);
    using ui::named;
    cboSource =
        named(new SourceBox(this, [this] { fillSources(cboSource->currentData().toString()); }),
              "cboSource");
    cboSource->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    cboSource->setMinimumContentsLength(24);
    txtDial = named(new QLineEdit(this), "txtDial");
    txtDial->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_dial = new ui::FrequencyEntry(txtDial, nullptr, &m_quiet, this);
    m_dial->setUnitHz(1e6);
    cboKeying = named(new QComboBox(this), "cboKeying");
    cboKeying->addItems(
        {QStringLiteral("CAT (the client's PTT)"), QStringLiteral("VOX (the audio's level)")});
    spnThreshold = named(new QSpinBox(this), "spnThreshold");
    spnThreshold->setRange(-100, 0);
    spnThreshold->setSuffix(QStringLiteral(" dB"));
    spnThreshold->setToolTip(
        QStringLiteral("VOX keys above this level; in either keying no tone is measured below it"));
    chkHoldDial = named(new QCheckBox(QStringLiteral("&Hold the dial between transmissions"), this),
                        "chkHoldDial");
    chkHoldDial->setToolTip(
        QStringLiteral("Between transmissions the output stays on at the dial, not off"));
    cmdStart = named(new QPushButton(QStringLiteral("&Start"), this), "cmdStart");
    cmdStop = named(new QPushButton(QStringLiteral("St&op"), this), "cmdStop");
    cmdStop->setEnabled(false);
    barLevel = named(new QProgressBar(this), "barLevel");
    barLevel->setRange(LowestDb * 10, 0);
    barLevel->setTextVisible(true);
    lblTone = named(new QLabel(this), "lblTone");
    lblOutput = named(new QLabel(this), "lblOutput");
    lblPtt = named(new QLabel(this), "lblPtt");
    lblDial = named(new QLabel(this), "lblDial");
    lblProblem = named(new QLabel(this), "lblProblem");
    lblProblem->setWordWrap(true);
    lblProblem->setStyleSheet(QStringLiteral("color: #c00000"));
    // Room for the longest text each shows, so the window keeps its size.
    const QFontMetrics fm(lblTone->font());
    lblTone->setMinimumWidth(fm.horizontalAdvance(QStringLiteral("00000.00 Hz, no tone")));
    lblOutput->setMinimumWidth(fm.horizontalAdvance(QStringLiteral("Stopped: the file has ended")));
    barLevel->setMinimumWidth(fm.horizontalAdvance(QStringLiteral("-000.0 dB")) * 3);

    // One column of labels for the settings and what the follower does.
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Sou&rce"), cboSource);
    form->addRow(QStringLiteral("&Dial (MHz)"), txtDial);
    form->addRow(QStringLiteral("&Keying"), cboKeying);
    form->addRow(QStringLiteral("VOX &threshold"), spnThreshold);
    form->addRow(QString(), chkHoldDial);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdStart);
    buttons->addWidget(cmdStop);
    buttons->addStretch(1);
    form->addRow(QString(), buttons);
    form->addRow(QStringLiteral("Level"), barLevel);
    form->addRow(QStringLiteral("Tone"), lblTone);
    form->addRow(QStringLiteral("Output"), lblOutput);
    form->addRow(QStringLiteral("PTT"), lblPtt);
    form->addRow(QStringLiteral("Dial in use"), lblDial);
    auto* column = new QVBoxLayout;
    column->addLayout(form);
    column->addWidget(lblProblem);
    column->addStretch(1);
    auto* client = new QWidget(this);
    client->setLayout(column);
    setCentralWidget(client);

    connect(cboSource, &QComboBox::activated, this, &FormDigital::sourceChosen);
    connect(cmdStart, &QPushButton::clicked, this, &FormDigital::cmdStart_Click);
    connect(cmdStop, &QPushButton::clicked, this, &FormDigital::cmdStop_Click);
    connect(&m_watch, &QTimer::timeout, this, [this] { m_intake->watch(); });
    connect(&m_refresh, &QTimer::timeout, this, &FormDigital::showStatus);
    // Before the program's last power-down of a keyed board, not after it:
    // the window outlives the event loop, and its audio would key again.
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { stop(QString()); });
    loadFields();
    showStopped(QString());
    resize(sizeHint());
}

FormDigital::~FormDigital() {
    stop(QString());
}

void FormDigital::closeEvent(QCloseEvent* event) {
    stop(QString());
    QMainWindow::closeEvent(event);
}

rig::Rig* FormDigital::catRig() const {
    return m_follower && m_setup.keying == follow::Keying::Cat ? m_rig.get() : nullptr;
}

void FormDigital::fillSources(const QString& keep) {
    m_quiet = true;
    QString wavPath;
    for (int i = 0; i < cboSource->count(); ++i)
        if (cboSource->itemData(i).toString().startsWith(Wav))
            wavPath = cboSource->itemData(i).toString().mid(Wav.size());
    cboSource->clear();
    cboSource->addItem(QStringLiteral("default"), Pulse);
    for (const QString& name : follow::PulseFeed::sources()) cboSource->addItem(name, Pulse + name);
    // A source remembered from another session, not (yet) listed: kept, so
    // that Start names it if it is still missing.
    if (keep.startsWith(Pulse) && cboSource->findData(keep) < 0)
        cboSource->addItem(keep.mid(Pulse.size()), keep);
    if (keep.startsWith(Wav)) wavPath = keep.mid(Wav.size());
    if (!wavPath.isEmpty()) {
        cboSource->addItem(QFileInfo(wavPath).fileName(), Wav + wavPath);
        cboSource->setItemData(cboSource->count() - 1, wavPath, Qt::ToolTipRole);
    }
    cboSource->addItem(QStringLiteral("WAV file..."), Browse);
    cboSource->setCurrentIndex(std::max(0, cboSource->findData(keep)));
    m_lastSource = cboSource->currentIndex();
    m_quiet = false;
}

void FormDigital::followFile(const QString& path) {
    fillSources(Wav + path);
}

void FormDigital::sourceChosen(int index) {
    if (m_quiet) return;
    if (cboSource->itemData(index).toString() != Browse) {
        m_lastSource = index;
        return;
    }
    QFileDialog chooser(this, QStringLiteral("Follow a WAV file"));
    chooser.setObjectName(QStringLiteral("wavChooser"));
    chooser.setFileMode(QFileDialog::ExistingFile);
    chooser.setNameFilters(
        {QStringLiteral("WAV audio (*.wav *.WAV)"), QStringLiteral("All files (*)")});
    const QString was = cboSource->itemData(m_lastSource).toString();
    if (was.startsWith(Wav)) chooser.selectFile(was.mid(Wav.size()));
    if (chooser.exec() == QDialog::Accepted && !chooser.selectedFiles().isEmpty())
        return followFile(chooser.selectedFiles().constFirst());
    cboSource->setCurrentIndex(m_lastSource); // nothing chosen: the source stays
}

void FormDigital::cmdStart_Click() {
    if (m_follower) return;
    auto refuse = [this](const QString& why) { ui::showMessage(this, Title, why); };
    const ui::FrequencyReading dial = m_dial->read();
    if (!dial.hz)
        return refuse(QStringLiteral("\"%1\" is not a dial frequency in MHz").arg(txtDial->text()));
    if (!dial.inRange || dial.error) return refuse(QStringLiteral("Dial: ") + m_dial->rangeText());
    const QString source = cboSource->currentData().toString();
    if (!source.startsWith(Pulse) && !source.startsWith(Wav))
        return refuse(QStringLiteral("Choose a source"));

    follow::FollowSetup setup;
    setup.dialHz = *dial.hz;
    setup.keying = cboKeying->currentIndex() == 0 ? follow::Keying::Cat : follow::Keying::Vox;
    setup.thresholdDb = spnThreshold->value();
    setup.holdDial = chkHoldDial->isChecked();
    QString why;
    std::unique_ptr<follow::WavFeed> wav;
    if (source.startsWith(Wav)) {
        wav = std::make_unique<follow::WavFeed>();
        if (!wav->open(source.mid(Wav.size()), &why)) return refuse(why);
    }
    saveFields();
    dds::board().setAddress(Globals::PortAddress);
    auto follower = std::make_unique<follow::Follower>(setup, Globals::RefClkHz);
    if (!follower->start(&why)) return refuse(why);

    // The meter lives on the feed's thread; the follower takes its readings
    // there, and this window's (and the clients') calls here, each under its lock.
    auto intake = std::make_unique<follow::Intake>(*follower, follow::Intake::stallFor(!wav));
    auto sink = [in = intake.get()](std::span<const float> samples, double rate) {
        in->feed(samples, rate);
    };
    m_setup = setup;
    m_intake = std::move(intake);
    m_follower = std::move(follower);
    m_rig = std::make_unique<digital::FollowRig>(*m_follower, Globals::RefClkHz);
    if (wav) {
        m_wav = std::move(wav);
        m_wav->start(sink, [this](const QString& why) {
            // The feed's thread: the window hears of it on its own.
            QMetaObject::invokeMethod(
                this,
                [this, why] {
                    stop(why.isEmpty() ? QStringLiteral("Stopped: the file has ended")
                                       : QStringLiteral("Stopped: ") + why);
                },
                Qt::QueuedConnection);
        });
    } else {
        m_pulse = std::make_unique<follow::PulseFeed>();
        if (!m_pulse->start(source.mid(Pulse.size()), sink, &why)) {
            stop(QString());
            return refuse(why);
        }
    }
    showRunning(true);
    m_problem.clear();
    m_watch.start(10);
    m_refresh.start(33); // no display needs more, the tone changes 200 times a second
    showStatus();
}

void FormDigital::cmdStop_Click() {
    stop(QString());
}

void FormDigital::stop(const QString& why) {
    if (!m_follower) return;
    m_watch.stop();
    m_refresh.stop();
    // No reading comes after this: the feed's thread has ended.
    if (m_wav) m_wav->stop();
    if (m_pulse) m_pulse->stop();
    m_follower->finish();
    const QString problem = m_follower->status().problem;
    m_rig.reset();
    m_follower.reset();
    m_wav.reset();
    m_pulse.reset();
    m_intake.reset();
    showRunning(false);
    showStopped(why);
    // Refused at the end (another holds the board): still worth telling.
    if (!problem.isEmpty()) lblProblem->setText(problem);
}

void FormDigital::showRunning(bool running) {
    for (QWidget* w : std::initializer_list<QWidget*>{cboSource, txtDial, cboKeying, spnThreshold,
                                                      chkHoldDial, cmdStart})
        w->setEnabled(!running);
    cmdStop->setEnabled(running);
}

void FormDigital::showStatus() {
    if (!m_follower) return;
    const follow::FollowStatus s = m_follower->status();
    const double db = std::max(s.levelDb, double(LowestDb));
    barLevel->setValue(int(std::lround(db * 10)));
    barLevel->setFormat(s.levelDb > -150 ? QStringLiteral("%1 dB").arg(s.levelDb, 0, 'f', 1)
                                         : QStringLiteral("silence"));
    lblTone->setText(s.toneHz ? QStringLiteral("%1 Hz").arg(*s.toneHz, 0, 'f', 2)
                              : QStringLiteral("no tone"));
    lblOutput->setText(s.on               ? QStringLiteral("On")
                       : s.keyed          ? QStringLiteral("Keyed, no tone")
                       : m_setup.holdDial ? QStringLiteral("Off, holding the dial")
                                          : QStringLiteral("Off"));
    if (m_setup.keying == follow::Keying::Cat)
        lblPtt->setText(s.ptt ? QStringLiteral("On (T 1)") : QStringLiteral("Off (T 0)"));
    else
        lblPtt->setText(s.keyed ? QStringLiteral("On (VOX)") : QStringLiteral("Off (VOX)"));
    lblDial->setText(megahertz(s.dialHz));
    if (s.problem != m_problem) {
        m_problem = s.problem;
        lblProblem->setText(s.problem);
        ui::reportHeadless(QStringLiteral("follow"), s.problem);
    }
}

void FormDigital::showStopped(const QString& why) {
    barLevel->setValue(LowestDb * 10);
    barLevel->setFormat(QStringLiteral("-"));
    lblTone->setText(QStringLiteral("-"));
    lblOutput->setText(why.isEmpty() ? QStringLiteral("Stopped") : why);
    lblPtt->setText(QStringLiteral("-"));
    lblDial->setText(QStringLiteral("-"));
    lblProblem->clear();
    if (!m_problem.isEmpty()) ui::reportHeadless(QStringLiteral("follow"), QString());
    m_problem.clear();
}

// The fields live in the settings, so a station's dial and source are set once.
void FormDigital::loadFields() {
    auto stored = [](const char* key, const QString& fallback) {
        return Globals::storedText(Section, QLatin1String(key), fallback);
    };
    fillSources(stored("Source", Pulse));
    txtDial->setText(stored("Dial", QLocale().toString(14.074, 'f', 3)));
    cboKeying->setCurrentIndex(stored("Keying", QStringLiteral("0")).toInt() == 1 ? 1 : 0);
    spnThreshold->setValue(stored("Threshold", QStringLiteral("-40")).toInt());
    chkHoldDial->setChecked(stored("HoldDial", QStringLiteral("0")).toInt() == 1);
}

void FormDigital::saveFields() {
    try {
        CSetting& s = Globals::settings();
        s.SaveSettingStr(Section, QStringLiteral("Source"), cboSource->currentData().toString());
        s.SaveSettingStr(Section, QStringLiteral("Dial"), txtDial->text().trimmed());
        s.SaveSettingStr(Section, QStringLiteral("Keying"),
                         QString::number(cboKeying->currentIndex()));
        s.SaveSettingStr(Section, QStringLiteral("Threshold"),
                         QString::number(spnThreshold->value()));
        s.SaveSettingStr(Section, QStringLiteral("HoldDial"),
                         chkHoldDial->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
    } catch (const Error& e) {
        // The follower still runs; the fields are only not kept.
        ui::showMessage(this, Title, e.description());
    }
}

} // namespace kalimor
