#include "FormBeacon.h"

#include "settings/CSetting.h"
#include "ui/Globals.h"
#include "ui/Ui.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <cmath>

namespace kalimor {

using beacon::BeaconSetup;

namespace {

struct ModeRow {
    const char* caption;
    BeaconSetup::Mode mode;
    double ditSeconds; // QRSS
};
constexpr ModeRow modes[] = {
    {"WSPR", BeaconSetup::Mode::Wspr, 0},    {"CW", BeaconSetup::Mode::Cw, 0},
    {"QRSS3", BeaconSetup::Mode::Qrss, 3},   {"QRSS6", BeaconSetup::Mode::Qrss, 6},
    {"QRSS10", BeaconSetup::Mode::Qrss, 10}, {"QRSS30", BeaconSetup::Mode::Qrss, 30},
    {"QRSS60", BeaconSetup::Mode::Qrss, 60},
};

const QString Section = QStringLiteral("Beacon");

} // namespace

FormBeacon::FormBeacon(QWidget* owner) : QMainWindow(owner) {
    ui::setUpToolWindow(this, "FormBeacon", QStringLiteral("Beacon"));
    using ui::named;
    auto spin = [&](const char* name, int low, int high, int value, const char* suffix) {
        auto* box = named(new QSpinBox(this), name);
        box->setRange(low, high);
        box->setValue(value);
        box->setSuffix(QLatin1String(suffix));
        return box;
    };
    cboMode = named(new QComboBox(this), "cboMode");
    for (const ModeRow& m : modes) cboMode->addItem(QLatin1String(m.caption));
    txtCall = named(new QLineEdit(this), "txtCall");
    txtGrid = named(new QLineEdit(this), "txtGrid");
    spnDbm = spin("spnDbm", 0, 60, 37, " dBm");
    txtDials = named(new QLineEdit(QStringLiteral("14.0956"), this), "txtDials");
    txtDials->setToolTip(QStringLiteral("Dial frequencies in MHz; several, separated by commas, "
                                        "are taken in turn frame by frame"));
    spnOffset = spin("spnOffset", 1400, 1600, 1500, " Hz");
    chkRandomOffset = named(new QCheckBox(QStringLiteral("Random"), this), "chkRandomOffset");
    spnTxPercent = spin("spnTxPercent", 0, 100, 20, " %");
    chkIgnoreClock =
        named(new QCheckBox(QStringLiteral("Send although the clock is not synchronised"), this),
              "chkIgnoreClock");
    txtText = named(new QLineEdit(this), "txtText");
    spnWpm = spin("spnWpm", 5, 40, 20, " WPM");
    cboKeying = named(new QComboBox(this), "cboKeying");
    cboKeying->addItems({QStringLiteral("On-off (power-down bit)"),
                         QStringLiteral("Frequency shift (FSK)"), QStringLiteral("DFCW")});
    spnShift = spin("spnShift", 1, 1000, 5, " Hz");
    lblClicks = named(new QLabel(QStringLiteral("On-off keying switches a DDS output hard: it "
                                                "makes key clicks unless the amplifier stage "
                                                "shapes the edges."),
                                 this),
                      "lblClicks");
    lblClicks->setWordWrap(true);
    cmdStart = named(new QPushButton(QStringLiteral("Start"), this), "cmdStart");
    cmdOnce = named(new QPushButton(QStringLiteral("Send once"), this), "cmdOnce");
    cmdStop = named(new QPushButton(QStringLiteral("Stop"), this), "cmdStop");
    cmdStop->setEnabled(false);
    lblNext = named(new QLabel(QStringLiteral("Stopped"), this), "lblNext");
    lblSymbol = named(new QLabel(this), "lblSymbol");
    lblFrames = named(new QLabel(QStringLiteral("Frames sent: 0"), this), "lblFrames");
    lstLog = named(new QListWidget(this), "lstLog");
    lstLog->setMinimumSize(520, 120);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("&Mode"), cboMode);
    form->addRow(QStringLiteral("&Dial (MHz)"), txtDials);
    form->addRow(QStringLiteral("&Callsign"), txtCall);
    form->addRow(QStringLiteral("&Locator"), txtGrid);
    form->addRow(QStringLiteral("&Power"), spnDbm);
    auto* offset = new QHBoxLayout;
    offset->addWidget(spnOffset, 1);
    offset->addWidget(chkRandomOffset);
    auto* offsetLabel = new QLabel(QStringLiteral("Audio &offset"), this);
    offsetLabel->setBuddy(spnOffset);
    form->addRow(offsetLabel, offset);
    form->addRow(QStringLiteral("&Transmit"), spnTxPercent);
    form->addRow(QString(), chkIgnoreClock);
    form->addRow(QStringLiteral("Te&xt"), txtText);
    form->addRow(QStringLiteral("&Speed"), spnWpm);
    form->addRow(QStringLiteral("&Keying"), cboKeying);
    form->addRow(QStringLiteral("S&hift"), spnShift);
    form->addRow(lblClicks);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {cmdStart, cmdOnce, cmdStop}) buttons->addWidget(b);
    auto* column = new QVBoxLayout;
    column->addLayout(form);
    column->addLayout(buttons);
    column->addWidget(lblNext);
    column->addWidget(lblSymbol);
    column->addWidget(lblFrames);
    column->addWidget(lstLog, 1);
    auto* client = new QWidget(this);
    client->setLayout(column);
    setCentralWidget(client);

    connect(cboMode, &QComboBox::currentIndexChanged, this, &FormBeacon::modeChanged);
    connect(cboKeying, &QComboBox::currentIndexChanged, this, &FormBeacon::modeChanged);
    connect(chkRandomOffset, &QCheckBox::toggled, spnOffset, &QWidget::setDisabled);
    connect(cmdStart, &QPushButton::clicked, this, &FormBeacon::cmdStart_Click);
    connect(cmdOnce, &QPushButton::clicked, this, &FormBeacon::cmdOnce_Click);
    connect(cmdStop, &QPushButton::clicked, this, &FormBeacon::cmdStop_Click);
    connect(&m_progress, &QTimer::timeout, this, &FormBeacon::showProgress);
    loadFields();
    modeChanged();
    resize(sizeHint());
}

FormBeacon::~FormBeacon() {
    // A beacon still sending stops as it goes, and says so: by then this
    // window's members (the progress timer first) are no longer there to hear.
    if (m_beacon) m_beacon->disconnect(this);
    m_beacon.reset();
}

void FormBeacon::closeEvent(QCloseEvent* event) {
    cmdStop_Click();
    QMainWindow::closeEvent(event);
}

void FormBeacon::modeChanged() {
    const bool wspr = cboMode->currentIndex() == 0, cw = cboMode->currentIndex() == 1;
    for (QWidget* w : {static_cast<QWidget*>(txtCall), static_cast<QWidget*>(txtGrid),
                       static_cast<QWidget*>(spnDbm), static_cast<QWidget*>(chkRandomOffset),
                       static_cast<QWidget*>(spnTxPercent), static_cast<QWidget*>(chkIgnoreClock)})
        w->setEnabled(wspr);
    spnOffset->setEnabled(wspr && !chkRandomOffset->isChecked());
    txtText->setEnabled(!wspr);
    spnWpm->setEnabled(cw);
    cboKeying->setEnabled(!wspr);
    spnShift->setEnabled(!wspr && cboKeying->currentIndex() != 0);
    lblClicks->setVisible(!wspr && cboKeying->currentIndex() == 0);
}

std::optional<BeaconSetup> FormBeacon::setup(QString* why) const {
    BeaconSetup s;
    const ModeRow& row = modes[cboMode->currentIndex()];
    s.mode = row.mode;
    for (const QString& mhz : txtDials->text().split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool ok = false;
        const double v = QLocale::c().toDouble(mhz.trimmed(), &ok);
        if (!ok || !(v > 0)) {
            *why = QStringLiteral("\"%1\" is not a dial frequency in MHz").arg(mhz.trimmed());
            return std::nullopt;
        }
        s.dialsHz.push_back(std::round(v * 1e9) / 1000);
    }
    if (s.dialsHz.empty()) {
        *why = QStringLiteral("Type a dial frequency in MHz");
        return std::nullopt;
    }
    s.call = txtCall->text().trimmed();
    s.grid = txtGrid->text().trimmed();
    s.dbm = spnDbm->value();
    s.offsetHz = chkRandomOffset->isChecked() ? -1 : spnOffset->value();
    s.txPercent = spnTxPercent->value();
    s.ignoreClock = chkIgnoreClock->isChecked();
    s.text = txtText->text().trimmed();
    s.ditSeconds = row.mode == BeaconSetup::Mode::Cw ? beacon::ditSecondsForWpm(spnWpm->value())
                                                     : row.ditSeconds;
    s.keying = beacon::Keying(cboKeying->currentIndex());
    s.shiftHz = s.keying == beacon::Keying::OnOff ? 0 : spnShift->value();
    return s;
}

void FormBeacon::cmdStart_Click() {
    start(false);
}

void FormBeacon::cmdOnce_Click() {
    start(true);
}

void FormBeacon::start(bool once) {
    if (m_beacon && m_beacon->running()) return;
    QString why;
    auto s = setup(&why);
    if (!s) return ui::showMessage(this, QStringLiteral("Beacon"), why);
    s->once = once;
    saveFields();
    m_beacon = std::make_unique<beacon::Beacon>(*s, Globals::RefClkHz, Globals::PhaseStep);
    connect(m_beacon.get(), &beacon::Beacon::frameStarted, this, [this](const QString& line) {
        lstLog->addItem(line);
        lstLog->scrollToBottom();
        m_frameStart = beacon::UtcClock::now();
        m_inFrame = true;
        lblNext->setText(QStringLiteral("Sending"));
    });
    connect(m_beacon.get(), &beacon::Beacon::waiting, this, [this](const QString& what) {
        m_inFrame = false;
        lblNext->setText(what.left(1).toUpper() + what.mid(1));
        lblFrames->setText(QStringLiteral("Frames sent: %1").arg(m_beacon->framesSent()));
    });
    connect(m_beacon.get(), &beacon::Beacon::frameSkipped, this,
            [this](const QString& why) { lstLog->addItem(QStringLiteral("Skipped ") + why); });
    connect(m_beacon.get(), &beacon::Beacon::failed, this,
            [this](const QString& why) { ui::showMessage(this, QStringLiteral("Beacon"), why); });
    connect(m_beacon.get(), &beacon::Beacon::finished, this, [this] {
        m_inFrame = false;
        m_progress.stop();
        lblNext->setText(QStringLiteral("Stopped"));
        lblSymbol->clear();
        lblFrames->setText(QStringLiteral("Frames sent: %1").arg(m_beacon->framesSent()));
        cmdStart->setEnabled(true);
        cmdOnce->setEnabled(true);
        cmdStop->setEnabled(false);
    });
    dds::board().setAddress(Globals::PortAddress);
    if (!m_beacon->start(&why)) return ui::showMessage(this, QStringLiteral("Beacon"), why);
    cmdStart->setEnabled(false);
    cmdOnce->setEnabled(false);
    cmdStop->setEnabled(true);
    m_progress.start(250);
}

void FormBeacon::cmdStop_Click() {
    if (m_beacon) m_beacon->stop();
}

void FormBeacon::showProgress() {
    if (!m_inFrame) return lblSymbol->clear();
    const double elapsed =
        std::chrono::duration<double>(beacon::UtcClock::now() - m_frameStart).count();
    if (cboMode->currentIndex() == 0)
        lblSymbol->setText(QStringLiteral("Symbol %1 of 162")
                               .arg(std::min(162, int(elapsed / beacon::WsprSymbolSeconds) + 1)));
    else
        lblSymbol->setText(QStringLiteral("Sending for %1 s").arg(int(elapsed)));
}

// The fields live in the settings, so a beacon's call and bands are typed once.
void FormBeacon::loadFields() {
    auto stored = [](const char* key, const QString& fallback) {
        return Globals::storedText(Section, QLatin1String(key), fallback);
    };
    cboMode->setCurrentIndex(std::clamp(stored("Mode", QStringLiteral("0")).toInt(), 0, 6));
    txtCall->setText(stored("Call", QString()));
    txtGrid->setText(stored("Locator", QString()));
    spnDbm->setValue(stored("Dbm", QStringLiteral("37")).toInt());
    txtDials->setText(stored("Dials", QStringLiteral("14.0956")));
    txtText->setText(stored("Text", QString()));
    spnWpm->setValue(stored("Wpm", QStringLiteral("20")).toInt());
}

void FormBeacon::saveFields() {
    try {
        CSetting& s = Globals::settings();
        s.SaveSettingStr(Section, QStringLiteral("Mode"), QString::number(cboMode->currentIndex()));
        s.SaveSettingStr(Section, QStringLiteral("Call"), txtCall->text().trimmed());
        s.SaveSettingStr(Section, QStringLiteral("Locator"), txtGrid->text().trimmed());
        s.SaveSettingStr(Section, QStringLiteral("Dbm"), QString::number(spnDbm->value()));
        s.SaveSettingStr(Section, QStringLiteral("Dials"), txtDials->text().trimmed());
        s.SaveSettingStr(Section, QStringLiteral("Text"), txtText->text().trimmed());
        s.SaveSettingStr(Section, QStringLiteral("Wpm"), QString::number(spnWpm->value()));
    } catch (const Error& e) {
        // The beacon still sends; the fields are only not kept.
        ui::showMessage(this, QStringLiteral("Beacon"), e.description());
    }
}

} // namespace kalimor
