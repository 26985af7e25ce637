#include "FormAnalyser.h"

#include "core/Error.h"
#include "core/Numbers.h"
#include "dds/Board.h"
#include "dds/Port.h"
#include "settings/CSetting.h"
#include "ui/Globals.h"
#include "ui/Ui.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QSpinBox>

#include <cmath>

namespace kalimor {

namespace {

using analyser::Detector;
using analyser::SimulatedDevice;

} // namespace

FormAnalyser::FormAnalyser(QWidget* owner) : QMainWindow(owner) {
    setObjectName(QStringLiteral("FormAnalyser"));
    setWindowTitle(QStringLiteral("Network Analyser"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlag(Qt::Window);
    ui::useLayoutFont(this);

    auto named = [this](auto* w, const char* name) {
        w->setObjectName(QLatin1String(name));
        return w;
    };
    auto mhzBox = [&](const char* name, double value) {
        auto* box = named(new QDoubleSpinBox(this), name);
        box->setRange(0.0001, 125);
        box->setDecimals(6);
        box->setSuffix(QStringLiteral(" MHz"));
        box->setValue(value);
        return box;
    };
    cboRange = named(new QComboBox(this), "cboRange");
    cboRange->addItems({QStringLiteral("Start and stop"), QStringLiteral("Centre and span")});
    spnA = mhzBox("spnA", 10.68);
    spnB = mhzBox("spnB", 10.72);
    spnPoints = named(new QSpinBox(this), "spnPoints");
    spnPoints->setRange(2, 10001);
    spnPoints->setValue(1001);
    chkLog = named(new QCheckBox(QStringLiteral("Logarithmic spacing"), this), "chkLog");
    spnSettle = named(new QSpinBox(this), "spnSettle");
    spnSettle->setRange(0, 1000);
    spnSettle->setSuffix(QStringLiteral(" ms"));
    spnSamples = named(new QSpinBox(this), "spnSamples");
    spnSamples->setRange(1, 64);
    spnSamples->setValue(4);
    chkContinuous = named(new QCheckBox(QStringLiteral("Continuous"), this), "chkContinuous");
    cboDevice = named(new QComboBox(this), "cboDevice");
    for (auto kind : {SimulatedDevice::Kind::CrystalFilter, SimulatedDevice::Kind::LowPass,
                      SimulatedDevice::Kind::Notch, SimulatedDevice::Kind::Through})
        cboDevice->addItem(SimulatedDevice::name(kind), int(kind));
    cboDevice->setToolTip(QStringLiteral("The device the simulated board sweeps"));
    cboDetector = named(new QComboBox(this), "cboDetector");
    cboDetector->addItems(
        {QStringLiteral("Log detector (AD8307)"), QStringLiteral("Linear diode detector")});
    spnSlope = named(new QDoubleSpinBox(this), "spnSlope");
    spnSlope->setRange(-1000, 1000);
    spnSlope->setDecimals(3);
    spnIntercept = named(new QDoubleSpinBox(this), "spnIntercept");
    spnIntercept->setRange(-1000, 1000);
    spnIntercept->setDecimals(3);
    chkNormalise =
        named(new QCheckBox(QStringLiteral("Relative to through"), this), "chkNormalise");
    spnUserLevel = named(new QDoubleSpinBox(this), "spnUserLevel");
    spnUserLevel->setRange(-100, -0.1);
    spnUserLevel->setValue(-60);
    spnUserLevel->setSuffix(QStringLiteral(" dB"));
    cmdRun = named(new QPushButton(QStringLiteral("Run"), this), "cmdRun");
    cmdStop = named(new QPushButton(QStringLiteral("Stop"), this), "cmdStop");
    cmdStop->setEnabled(false);
    auto* cmdThrough = named(new QPushButton(QStringLiteral("Record through"), this), "cmdThrough");
    auto* cmdMemory = named(new QPushButton(QStringLiteral("Keep as memory"), this), "cmdMemory");
    auto* cmdZoom = named(new QPushButton(QStringLiteral("Reset zoom"), this), "cmdZoom");
    auto* cmdExport = named(new QPushButton(QStringLiteral("Export CSV..."), this), "cmdExport");
    auto* cmdPng = named(new QPushButton(QStringLiteral("Export PNG..."), this), "cmdPng");
    auto* cmdImport = named(new QPushButton(QStringLiteral("Import CSV..."), this), "cmdImport");
    progress = named(new QProgressBar(this), "progress");
    lblLeft = named(new QLabel(this), "lblLeft");

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Range"), cboRange);
    form->addRow(QStringLiteral("Start / centre"), spnA);
    form->addRow(QStringLiteral("Stop / span"), spnB);
    form->addRow(QStringLiteral("Points"), spnPoints);
    form->addRow(QString(), chkLog);
    form->addRow(QStringLiteral("Settle"), spnSettle);
    form->addRow(QStringLiteral("Samples"), spnSamples);
    form->addRow(QString(), chkContinuous);
    form->addRow(QStringLiteral("Simulated device"), cboDevice);
    form->addRow(QStringLiteral("Detector"), cboDetector);
    form->addRow(QStringLiteral("Slope mV/dB"), spnSlope);
    form->addRow(QStringLiteral("Intercept dBm"), spnIntercept);
    form->addRow(QString(), chkNormalise);
    // Two-point level calibration, stored with the settings.
    for (int i = 0; i < 2; ++i) {
        spnLevel[i] = named(new QDoubleSpinBox(this), i == 0 ? "spnLevelA" : "spnLevelB");
        spnLevel[i]->setRange(-100, 20);
        spnLevel[i]->setSuffix(QStringLiteral(" dBm"));
        spnLevel[i]->setValue(i == 0 ? 0 : -40);
        auto* read = named(
            new QPushButton(i == 0 ? QStringLiteral("Read A") : QStringLiteral("Read B"), this),
            i == 0 ? "cmdReadA" : "cmdReadB");
        connect(read, &QPushButton::clicked, this, [this, i] { readLevel(i); });
        auto* row = new QHBoxLayout;
        row->addWidget(spnLevel[i], 1);
        row->addWidget(read);
        form->addRow(i == 0 ? QStringLiteral("Known level A") : QStringLiteral("Known level B"),
                     row);
    }
    auto* cmdCalibrate =
        named(new QPushButton(QStringLiteral("Calibrate levels"), this), "cmdCalibrate");
    connect(cmdCalibrate, &QPushButton::clicked, this, &FormAnalyser::calibrateLevels);
    form->addRow(QString(), cmdCalibrate);
    form->addRow(QStringLiteral("Marker level"), spnUserLevel);
    auto* runStop = new QHBoxLayout;
    runStop->addWidget(cmdRun);
    runStop->addWidget(cmdStop);
    form->addRow(runStop);
    form->addRow(progress);
    form->addRow(lblLeft);
    for (auto [a, b] :
         {std::pair{cmdThrough, cmdMemory}, {cmdZoom, cmdImport}, {cmdExport, cmdPng}}) {
        auto* row = new QHBoxLayout;
        row->addWidget(a);
        row->addWidget(b);
        form->addRow(row);
    }

    plotView = new AnalyserPlot(this);
    auto* client = new QWidget(this);
    auto* columns = new QHBoxLayout(client);
    columns->addLayout(form);
    columns->addWidget(plotView, 1);
    setCentralWidget(client);
    resize(sizeHint());

    loadDetector();
    m_runner = std::make_unique<analyser::SweepRunner>([this](double hz) { tune(hz); },
                                                       [this](int n) { return read(n); });
    connect(m_runner.get(), &analyser::SweepRunner::progress, this,
            [this](int done, int total, double left) {
                progress->setMaximum(total);
                progress->setValue(done);
                lblLeft->setText(QStringLiteral("%1 of %2 points, %3 s left")
                                     .arg(done)
                                     .arg(total)
                                     .arg(left, 0, 'f', 1));
            });
    connect(m_runner.get(), &analyser::SweepRunner::finished, this,
            [this](const analyser::Trace& trace) {
                m_measured = trace;
                plot(trace);
                if (!m_runner->running()) {
                    giveBoardBack();
                    cmdRun->setEnabled(true);
                    cmdStop->setEnabled(false);
                }
            });
    connect(m_runner.get(), &analyser::SweepRunner::failed, this, [this](const QString& why) {
        lblLeft->setText(QStringLiteral("Stopped: ") + why);
        giveBoardBack();
        cmdRun->setEnabled(true);
        cmdStop->setEnabled(false);
    });
    connect(cmdRun, &QPushButton::clicked, this, &FormAnalyser::cmdRun_Click);
    connect(cmdStop, &QPushButton::clicked, this, &FormAnalyser::cmdStop_Click);
    connect(cmdThrough, &QPushButton::clicked, this, &FormAnalyser::cmdThrough_Click);
    connect(cmdMemory, &QPushButton::clicked, this, &FormAnalyser::cmdMemory_Click);
    connect(cmdZoom, &QPushButton::clicked, plotView, &AnalyserPlot::resetZoom);
    connect(chkNormalise, &QCheckBox::toggled, this, [this] { plot(m_measured); });
    connect(spnUserLevel, &QDoubleSpinBox::valueChanged, this, &FormAnalyser::showMarkers);
    connect(chkLog, &QCheckBox::toggled, this, [this] { plot(m_measured); });
    connect(cboDetector, &QComboBox::currentIndexChanged, this, [this] {
        saveDetector();
        loadDetector();
    });
    connect(cmdExport, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export CSV"),
                                                          QString(), QStringLiteral("CSV (*.csv)"));
        if (!path.isEmpty()) exportCsv(path);
    });
    connect(cmdPng, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export PNG"),
                                                          QString(), QStringLiteral("PNG (*.png)"));
        if (!path.isEmpty()) exportPng(path);
    });
    connect(cmdImport, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Import CSV"),
                                                          QString(), QStringLiteral("CSV (*.csv)"));
        if (!path.isEmpty()) importCsv(path);
    });
}

FormAnalyser::~FormAnalyser() {
    // No finished signal may reach a half-destroyed window.
    m_runner->disconnect(this);
    m_runner->stop();
    giveBoardBack();
}

void FormAnalyser::closeEvent(QCloseEvent* event) {
    if (m_runner->running()) cmdStop_Click();
    QMainWindow::closeEvent(event);
}

bool FormAnalyser::takeBoard() {
    if (m_holding) return true;
    if (const auto holder = dds::board().claim(dds::Controller::Analyser)) {
        ui::showMessage(this, QStringLiteral("Network Analyser"), dds::refusalText(*holder));
        return false;
    }
    m_holding = true;
    m_before = dds::board().held();
    return true;
}

void FormAnalyser::giveBoardBack() {
    if (!m_holding) return;
    m_holding = false;
    if (m_before.any) {
        try {
            dds::board().load(m_before.word, m_before.phase, m_before.powerDown,
                              dds::Controller::Analyser);
        } catch (const Error& e) {
            lblLeft->setText(QStringLiteral("The board's word before the run was not put back: ") +
                             e.description());
        }
    }
    dds::board().release(dds::Controller::Analyser);
}

analyser::Detector FormAnalyser::detector() const {
    Detector d;
    d.kind = cboDetector->currentIndex() == 0 ? Detector::Kind::Log : Detector::Kind::Diode;
    if (d.kind == Detector::Kind::Log) {
        d.slopeMvPerDb = spnSlope->value();
        d.interceptDbm = spnIntercept->value();
    } else {
        d.diodeA = spnSlope->value();
        d.diodeB = spnIntercept->value();
    }
    return d;
}

// The detector's two numbers live in the settings, per kind.
void FormAnalyser::loadDetector() {
    const bool log = cboDetector->currentIndex() == 0;
    const Detector defaults;
    auto stored = [](const char* key, double fallback) {
        bool ok = false;
        const double v = Globals::storedText(QStringLiteral("Analyser"), QLatin1String(key),
                                             QString::number(fallback, 'g', 12))
                             .toDouble(&ok);
        return ok && std::isfinite(v) ? v : fallback;
    };
    const QSignalBlocker quietA(spnSlope), quietB(spnIntercept);
    spnSlope->setValue(log ? stored("LogSlopeMvPerDb", defaults.slopeMvPerDb)
                           : stored("DiodeA", defaults.diodeA));
    spnIntercept->setValue(log ? stored("LogInterceptDbm", defaults.interceptDbm)
                               : stored("DiodeB", defaults.diodeB));
}

void FormAnalyser::saveDetector() {
    const Detector d = detector();
    try {
        CSetting& s = Globals::settings();
        const QString section = QStringLiteral("Analyser");
        if (d.kind == Detector::Kind::Log) {
            s.SaveSettingStr(section, QStringLiteral("LogSlopeMvPerDb"),
                             QString::number(d.slopeMvPerDb, 'g', 12));
            s.SaveSettingStr(section, QStringLiteral("LogInterceptDbm"),
                             QString::number(d.interceptDbm, 'g', 12));
        } else {
            s.SaveSettingStr(section, QStringLiteral("DiodeA"), QString::number(d.diodeA, 'g', 12));
            s.SaveSettingStr(section, QStringLiteral("DiodeB"), QString::number(d.diodeB, 'g', 12));
        }
    } catch (const Error& e) {
        ui::showMessage(this, QStringLiteral("Network Analyser"), e.description());
    }
}

// The simulated board's detector is a textbook one of the chosen kind,
// whatever the fields say: calibration then corrects fields set wrong.
analyser::Detector FormAnalyser::simulatedTruth() const {
    Detector truth;
    truth.kind = detector().kind;
    return truth;
}

analyser::SweepRunner::Setup FormAnalyser::setup() const {
    double start = spnA->value() * 1e6, stop = spnB->value() * 1e6;
    if (cboRange->currentIndex() == 1) { // centre and span
        const double centre = start, span = stop;
        start = std::max(1.0, centre - span / 2);
        stop = centre + span / 2;
    }
    analyser::SweepRunner::Setup s;
    s.frequencies =
        analyser::sweepFrequencies(start, stop, spnPoints->value(), chkLog->isChecked());
    s.settleMs = spnSettle->value();
    s.samples = spnSamples->value();
    s.continuous = chkContinuous->isChecked();
    return s;
}

void FormAnalyser::tune(double hz) {
    dds::board().load(tuningWord(hz, Globals::RefClkHz), Globals::PhaseStep, 0,
                      dds::Controller::Analyser);
}

// The simulated board has a simulated detector behind the chosen device;
// any other port reads the bridge's A0.
double FormAnalyser::read(int samples) {
    if (!dds::board().simulated()) return dds::board().readAnalog(0, samples);
    const dds::Held held = dds::board().held();
    return m_simulated->readSteps(held.word * Globals::RefClkHz / 4294967296.0, samples);
}

void FormAnalyser::cmdRun_Click() {
    if (m_runner->running() || !takeBoard()) return;
    saveDetector();
    SimulatedDevice device;
    device.kind = SimulatedDevice::Kind(cboDevice->currentData().toInt());
    m_simulated = std::make_unique<analyser::SimulatedDetector>(device, simulatedTruth());
    m_runner->setDetector(detector());
    cmdRun->setEnabled(false);
    cmdStop->setEnabled(true);
    progress->setValue(0);
    m_runner->start(setup());
}

void FormAnalyser::readLevel(int which) {
    const bool duringRun = m_holding;
    if (!takeBoard()) return;
    try {
        tune(setup().frequencies.front());
        if (!m_simulated) {
            SimulatedDevice through;
            through.kind = SimulatedDevice::Kind::Through;
            m_simulated = std::make_unique<analyser::SimulatedDetector>(through, simulatedTruth());
        }
        m_levelMv[which] = Detector::adcToMv(read(spnSamples->value()));
        lblLeft->setText(QStringLiteral("Level %1: the detector reads %2 mV")
                             .arg(which == 0 ? 'A' : 'B')
                             .arg(m_levelMv[which], 0, 'f', 1));
    } catch (const Error& e) {
        ui::showMessage(this, QStringLiteral("Network Analyser"), e.description());
    }
    if (!duringRun) giveBoardBack();
}

bool FormAnalyser::calibrateLevels() {
    Detector d = detector();
    if (m_levelMv[0] < 0 || m_levelMv[1] < 0 ||
        !d.calibrate(m_levelMv[0], spnLevel[0]->value(), m_levelMv[1], spnLevel[1]->value())) {
        ui::showMessage(this, QStringLiteral("Network Analyser"),
                        QStringLiteral("Read the detector at two different known levels first"));
        return false;
    }
    spnSlope->setValue(d.kind == Detector::Kind::Log ? d.slopeMvPerDb : d.diodeA);
    spnIntercept->setValue(d.kind == Detector::Kind::Log ? d.interceptDbm : d.diodeB);
    saveDetector();
    lblLeft->setText(QStringLiteral("Calibrated: ") + d.describe());
    return true;
}

void FormAnalyser::cmdStop_Click() {
    m_runner->stop();
    cmdRun->setEnabled(true);
    cmdStop->setEnabled(false);
}

void FormAnalyser::cmdThrough_Click() {
    m_through = m_measured;
    lblLeft->setText(QStringLiteral("Through recorded: %1 points").arg(m_through.size()));
    chkNormalise->setChecked(true);
}

void FormAnalyser::cmdMemory_Click() {
    if (m_shown.empty()) return;
    plotView->addMemory(m_shown, QStringLiteral("Memory %1").arg(++m_memories));
}

void FormAnalyser::plot(const analyser::Trace& trace) {
    const bool relative = chkNormalise->isChecked() && !m_through.empty();
    m_shown = relative ? analyser::normalise(trace, m_through) : trace;
    plotView->showTrace(m_shown, chkLog->isChecked(), relative);
    showMarkers();
}

QString FormAnalyser::markerText() const {
    return plotView->markerText();
}

void FormAnalyser::showMarkers() {
    plotView->showMarkers(m_shown, spnUserLevel->value());
}

bool FormAnalyser::exportCsv(const QString& path) {
    const Detector d = detector();
    const QString description =
        QStringLiteral("%1; levels %2")
            .arg(d.describe(), chkNormalise->isChecked() && !m_through.empty()
                                   ? QStringLiteral("in dB against a through trace")
                                   : QStringLiteral("in dBm"));
    QSaveFile f(path);
    const QByteArray bytes = analyser::toCsv(m_shown, description).toUtf8();
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.flush() ||
        !f.commit()) {
        ui::showMessage(this, QStringLiteral("Network Analyser"),
                        QStringLiteral("cannot write %1: %2").arg(path, f.errorString()));
        return false;
    }
    return true;
}

bool FormAnalyser::exportPng(const QString& path) {
    if (plotView->savePng(path)) return true;
    ui::showMessage(this, QStringLiteral("Network Analyser"),
                    QStringLiteral("cannot write %1").arg(path));
    return false;
}

bool FormAnalyser::importCsv(const QString& path) {
    QFile f(path);
    QString description;
    std::optional<analyser::Trace> trace;
    if (f.open(QIODevice::ReadOnly))
        trace = analyser::fromCsv(QString::fromUtf8(f.readAll()), &description);
    if (!trace) {
        ui::showMessage(this, QStringLiteral("Network Analyser"),
                        QStringLiteral("%1 is not a trace Kalimor exported").arg(path));
        return false;
    }
    // Shown as a memory beside the measured trace.
    ++m_memories;
    plotView->addMemory(*trace, QFileInfo(path).fileName());
    return true;
}

} // namespace kalimor
