#include "FormAnalyser.h"

#include "analyser/AnalyserSettings.h"
#include "analyser/BoardScan.h"
#include "analyser/SwrPage.h"
#include "settings/SafeFile.h"

#include "core/Error.h"
#include "core/Numbers.h"
#include "dds/Board.h"
#include "dds/Port.h"
#include "settings/CSetting.h"
#include "ui/Globals.h"
#include "ui/Holders.h"
#include "ui/Ui.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>

#include <cmath>

namespace kalimor {

namespace {

using analyser::Detector;
using analyser::SimulatedDevice;

} // namespace

FormAnalyser::FormAnalyser(QWidget* owner) : QMainWindow(owner) {
    ui::setUpToolWindow(this, "FormAnalyser", QStringLiteral("Network Analyser"));
    using ui::named;
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
                      SimulatedDevice::Kind::HighPass, SimulatedDevice::Kind::Notch,
                      SimulatedDevice::Kind::Crystal, SimulatedDevice::Kind::Through})
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
    cboShape = named(new QComboBox(this), "cboShape");
    for (auto shape : {analyser::Shape::Auto, analyser::Shape::BandPass, analyser::Shape::LowPass,
                       analyser::Shape::HighPass, analyser::Shape::Notch})
        cboShape->addItem(analyser::shapeName(shape), int(shape));
    spnUserHz = mhzBox("spnUserHz", 10.7);
    spnUserHz->setToolTip(QStringLiteral("Low- and high-pass: the level is read here"));
    spnSource = named(new QDoubleSpinBox(this), "spnSource");
    spnSource->setRange(-60, 20);
    spnSource->setSuffix(QStringLiteral(" dBm"));
    spnSource->setToolTip(QStringLiteral("The generator's level, which crystal losses are read "
                                         "against when no through is recorded"));
    cboPreset = named(new QComboBox(this), "cboPreset");
    cboPreset->setEditable(true);
    cboPreset->setInsertPolicy(QComboBox::NoInsert);
    auto* cmdSavePreset = named(new QPushButton(QStringLiteral("Save"), this), "cmdSavePreset");
    auto* cmdLoadPreset = named(new QPushButton(QStringLiteral("Recall"), this), "cmdLoadPreset");
    auto* cmdS2p = named(new QPushButton(QStringLiteral("Export S2P..."), this), "cmdS2p");
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

    auto* detectorForm = new QFormLayout;
    detectorForm->addRow(QStringLiteral("Detector"), cboDetector);
    detectorForm->addRow(QStringLiteral("Slope mV/dB"), spnSlope);
    detectorForm->addRow(QStringLiteral("Intercept dBm"), spnIntercept);
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
        detectorForm->addRow(
            i == 0 ? QStringLiteral("Known level A") : QStringLiteral("Known level B"), row);
    }
    auto* cmdCalibrate =
        named(new QPushButton(QStringLiteral("Calibrate levels"), this), "cmdCalibrate");
    connect(cmdCalibrate, &QPushButton::clicked, this, &FormAnalyser::calibrateLevels);
    detectorForm->addRow(QString(), cmdCalibrate);
    detectorForm->addRow(QStringLiteral("Source level"), spnSource);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Range"), cboRange);
    form->addRow(QStringLiteral("Start / centre"), spnA);
    form->addRow(QStringLiteral("Stop / span"), spnB);
    form->addRow(QStringLiteral("Points"), spnPoints);
    form->addRow(QString(), chkLog);
    form->addRow(QStringLiteral("Settle"), spnSettle);
    form->addRow(QStringLiteral("Samples"), spnSamples);
    form->addRow(QString(), chkContinuous);
    lblDevice = new QLabel(QStringLiteral("Simulated device"), this);
    form->addRow(lblDevice, cboDevice);
    form->addRow(QString(), chkNormalise);
    form->addRow(QStringLiteral("Shape"), cboShape);
    form->addRow(QStringLiteral("Marker level"), spnUserLevel);
    form->addRow(QStringLiteral("Marker frequency"), spnUserHz);
    auto* presets = new QHBoxLayout;
    presets->addWidget(cboPreset, 1);
    presets->addWidget(cmdSavePreset);
    presets->addWidget(cmdLoadPreset);
    form->addRow(QStringLiteral("Preset"), presets);
    auto* runStop = new QHBoxLayout;
    runStop->addWidget(cmdRun);
    runStop->addWidget(cmdStop);
    form->addRow(runStop);
    form->addRow(progress);
    form->addRow(lblLeft);
    for (auto [a, b] :
         {std::pair{cmdThrough, cmdMemory}, {cmdZoom, cmdImport}, {cmdExport, cmdPng}}) {
        if (a == cmdExport) {
            auto* row = new QHBoxLayout;
            row->addWidget(cmdExport);
            row->addWidget(cmdS2p);
            row->addWidget(cmdPng);
            form->addRow(row);
            continue;
        }
        auto* row = new QHBoxLayout;
        row->addWidget(a);
        row->addWidget(b);
        form->addRow(row);
    }

    plotView = new AnalyserPlot(this);
    auto* tabs = named(new QTabWidget(this), "tabs");
    auto* response = new QWidget(this);
    response->setLayout(form);
    tabs->addTab(response, QStringLiteral("&Response"));
    auto* detectorPage = new QWidget(this);
    detectorPage->setLayout(detectorForm);
    tabs->addTab(detectorPage, QStringLiteral("&Detector"));
    tabs->addTab(crystalPage(), QStringLiteral("&Crystals"));
    auto* client = new QWidget(this);
    auto* columns = new QHBoxLayout(client);
    columns->addWidget(tabs);
    columns->addWidget(plotView, 1);
    // The SWR tab lends the board and the detector from here, and shows its own plot.
    auto* swr = new SwrPage({[this] { return !m_runner->running() && takeBoard(); },
                             [this] { giveBoardBack(); }, [this] { return detector(); }},
                            this);
    tabs->addTab(swr, QStringLiteral("S&WR"));
    columns->addWidget(swr->plot(), 1);
    swr->plot()->hide();
    connect(swr, &SwrPage::busy, tabs, [tabs, swr](bool running) {
        for (int i = 0; i < tabs->count(); ++i)
            if (tabs->widget(i) != swr) tabs->setTabEnabled(i, !running);
    });
    connect(tabs, &QTabWidget::currentChanged, this, [this, tabs, swr] {
        plotView->setVisible(tabs->currentWidget() != swr);
        swr->plot()->setVisible(tabs->currentWidget() == swr);
    });
    setCentralWidget(client);
    resize(sizeHint());

    // As the last session left it: the detector, the device, the through.
    cboDetector->setCurrentIndex(
        analyser_settings::detector(Globals::settings()).kind == Detector::Kind::Diode ? 1 : 0);
    cboDevice->setCurrentIndex(
        cboDevice->findData(int(analyser_settings::simulatedDevice(Globals::settings()))));
    if (auto stored = analyser_settings::through()) m_through = *stored;
    loadDetector();
    listPresets();
    m_runner = std::make_unique<analyser::SweepRunner>([this](double hz) { tune(hz); },
                                                       [this](int n) { return read(n); });
    connect(m_runner.get(), &analyser::SweepRunner::progress, this,
            [this, shown = QElapsedTimer()](int done, int total, double left) mutable {
                // The trace grows on the plot as its points come, a few times a second.
                if (done < total && (!shown.isValid() || shown.elapsed() >= 250)) {
                    shown.start();
                    plot(m_runner->trace());
                }
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
    connect(spnUserHz, &QDoubleSpinBox::valueChanged, this, &FormAnalyser::showMarkers);
    connect(cboShape, &QComboBox::currentIndexChanged, this, &FormAnalyser::showMarkers);
    connect(cmdSavePreset, &QPushButton::clicked, this,
            [this] { savePreset(cboPreset->currentText()); });
    connect(cmdLoadPreset, &QPushButton::clicked, this,
            [this] { recallPreset(cboPreset->currentText()); });
    connect(cmdS2p, &QPushButton::clicked, this, [this] {
        const QString path =
            QFileDialog::getSaveFileName(this, QStringLiteral("Export Touchstone"), QString(),
                                         QStringLiteral("Touchstone (*.s2p)"));
        if (!path.isEmpty()) exportTouchstone(path);
    });
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
        ui::showMessage(this, QStringLiteral("Network Analyser"), ui::refusalText(*holder));
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

// The detector lives in the settings, the window's fields only show it.
void FormAnalyser::loadDetector() {
    const Detector d = analyser_settings::detector(
        Globals::settings(),
        cboDetector->currentIndex() == 0 ? Detector::Kind::Log : Detector::Kind::Diode);
    const QSignalBlocker quietA(spnSlope), quietB(spnIntercept);
    const bool log = d.kind == Detector::Kind::Log;
    spnSlope->setValue(log ? d.slopeMvPerDb : d.diodeA);
    spnIntercept->setValue(log ? d.interceptDbm : d.diodeB);
}

void FormAnalyser::saveDetector() {
    try {
        analyser_settings::saveDetector(Globals::settings(), detector());
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

bool FormAnalyser::prepareRun() {
    if (m_runner->running() || !takeBoard()) return false;
    saveDetector();
    SimulatedDevice device;
    device.kind = SimulatedDevice::Kind(cboDevice->currentData().toInt());
    try {
        analyser_settings::saveSimulatedDevice(Globals::settings(), device.kind);
    } catch (const Error&) {
        // saveDetector has just told the store's trouble.
    }
    m_simulated = std::make_unique<analyser::SimulatedDetector>(device, simulatedTruth());
    m_runner->setDetector(detector());
    m_runner->setScan(analyser::boardScan(Globals::RefClkHz, Globals::PhaseStep));
    return true;
}

void FormAnalyser::cmdRun_Click() {
    if (!prepareRun()) return;
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
    // Kept for the next session and for kalimor --analyse.
    if (const auto failure = analyser_settings::saveThrough(m_through))
        ui::showMessage(this, QStringLiteral("Network Analyser"),
                        QStringLiteral("The through is used but not kept: ") + *failure);
    lblLeft->setText(QStringLiteral("Through recorded: %1 points").arg(m_through.size()));
    chkNormalise->setChecked(true);
}

void FormAnalyser::cmdMemory_Click() {
    if (m_shown.empty()) return;
    m_memoryTrace = m_shown;
    plotView->addMemory(m_shown, QStringLiteral("Memory %1").arg(++m_memories));
    showMarkers();
}

void FormAnalyser::plot(const analyser::Trace& trace) {
    bool relative = chkNormalise->isChecked() && !m_through.empty();
    m_shown = trace;
    if (relative) {
        QString why;
        if (const auto n = analyser::normalise(trace, m_through, &why)) {
            m_shown = *n;
        } else {
            // Never cut to the through's points: the run is shown as measured.
            relative = false;
            lblLeft->setText(why);
        }
    }
    plotView->showTrace(m_shown, chkLog->isChecked(), relative);
    showMarkers();
}

QString FormAnalyser::markerText() const {
    return plotView->markerText();
}

void FormAnalyser::showMarkers() {
    plotView->showMarkers(m_shown, analyser::Shape(cboShape->currentData().toInt()),
                          spnUserLevel->value(), spnUserHz->value() * 1e6,
                          m_memoryTrace.empty() ? nullptr : &m_memoryTrace);
}

void FormAnalyser::showEvent(QShowEvent* event) {
    // A real port's detector is the bridge's A0: there is no device to choose.
    const bool simulated = dds::board().simulated();
    lblDevice->setVisible(simulated);
    cboDevice->setVisible(simulated);
    QMainWindow::showEvent(event);
}

namespace {
const QString PresetSection = QStringLiteral("Analyser presets");
} // namespace

bool FormAnalyser::exportCsv(const QString& path) {
    const Detector d = detector();
    const QString description =
        QStringLiteral("%1; levels %2")
            .arg(d.describe(), chkNormalise->isChecked() && !m_through.empty()
                                   ? QStringLiteral("in dB against a through trace")
                                   : QStringLiteral("in dBm"));
    return writeFile(path, analyser::toCsv(m_shown, description).toUtf8());
}

bool FormAnalyser::exportPng(const QString& path) {
    if (plotView->savePng(path)) return true;
    ui::showMessage(this, QStringLiteral("Network Analyser"),
                    QStringLiteral("cannot write %1").arg(path));
    return false;
}

bool FormAnalyser::importCsv(const QString& path) {
    QFile f(path);
    QString description, why = QStringLiteral("cannot read it");
    std::optional<analyser::Trace> trace;
    if (f.open(QIODevice::ReadOnly))
        trace = analyser::readCsv(QByteArrayView(f.readAll()), Globals::RefClkHz / 2, &description,
                                  &why);
    if (!trace) {
        ui::showMessage(this, QStringLiteral("Network Analyser"),
                        QStringLiteral("%1 is not imported: %2").arg(path, why));
        return false;
    }
    // Shown as a memory beside the measured trace, which markers then read.
    plotView->addMemory(*trace, QFileInfo(path).fileName());
    m_memoryTrace = std::move(*trace);
    ++m_memories;
    showMarkers();
    return true;
}

bool FormAnalyser::exportTouchstone(const QString& path) {
    QString why;
    std::optional<analyser::Trace> relative;
    if (m_through.empty())
        why = QStringLiteral("Record a through first: S21 is the level relative to it");
    else
        relative = analyser::normalise(m_measured, m_through, &why);
    if (relative && relative->empty()) why = QStringLiteral("Run a sweep first");
    if (!relative || relative->empty()) {
        ui::showMessage(this, QStringLiteral("Network Analyser"), why);
        return false;
    }
    return writeFile(path, analyser::toTouchstone(*relative, detector().describe()).toUtf8());
}

bool FormAnalyser::writeFile(const QString& path, const QByteArray& bytes) {
    // Whole or not at all, as the settings are saved.
    const auto failure = replaceFile(path, bytes);
    if (failure) ui::showMessage(this, QStringLiteral("Network Analyser"), *failure);
    return !failure;
}

// Presets: the sweep settings and the detector's calibration under a name.
void FormAnalyser::savePreset(const QString& name) {
    if (name.trimmed().isEmpty())
        return ui::showMessage(this, QStringLiteral("Network Analyser"),
                               QStringLiteral("Type a name for the preset"));
    const QString text =
        QStringLiteral("range=%1;a=%2;b=%3;points=%4;log=%5;settle=%6;samples=%7;detector=%8;"
                       "slope=%9;intercept=%10")
            .arg(cboRange->currentIndex())
            .arg(spnA->value(), 0, 'g', 12)
            .arg(spnB->value(), 0, 'g', 12)
            .arg(spnPoints->value())
            .arg(chkLog->isChecked() ? 1 : 0)
            .arg(spnSettle->value())
            .arg(spnSamples->value())
            .arg(cboDetector->currentIndex())
            .arg(spnSlope->value(), 0, 'g', 12)
            .arg(spnIntercept->value(), 0, 'g', 12);
    try {
        Globals::settings().SaveSettingStr(PresetSection, name.trimmed(), text);
    } catch (const Error& e) {
        return ui::showMessage(this, QStringLiteral("Network Analyser"), e.description());
    }
    listPresets();
    cboPreset->setCurrentText(name.trimmed());
}

bool FormAnalyser::recallPreset(const QString& name) {
    const QString text = Globals::storedText(PresetSection, name.trimmed(), QString());
    QHash<QString, double> v;
    for (const QString& pair : text.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        bool ok = false;
        const double x = pair.section(QLatin1Char('='), 1).toDouble(&ok);
        if (ok && std::isfinite(x)) v[pair.section(QLatin1Char('='), 0, 0)] = x;
    }
    if (v.size() < 10) {
        ui::showMessage(this, QStringLiteral("Network Analyser"),
                        QStringLiteral("There is no preset \"%1\"").arg(name));
        return false;
    }
    cboRange->setCurrentIndex(int(v["range"]));
    spnA->setValue(v["a"]);
    spnB->setValue(v["b"]);
    spnPoints->setValue(int(v["points"]));
    chkLog->setChecked(v["log"] != 0);
    spnSettle->setValue(int(v["settle"]));
    spnSamples->setValue(int(v["samples"]));
    cboDetector->setCurrentIndex(int(v["detector"]));
    spnSlope->setValue(v["slope"]);
    spnIntercept->setValue(v["intercept"]);
    saveDetector();
    return true;
}

void FormAnalyser::listPresets() {
    const QString current = cboPreset->currentText();
    cboPreset->clear();
    try {
        if (const auto table = Globals::settings().GetSettingAll(PresetSection))
            for (const auto& row : *table) cboPreset->addItem(row[0]);
    } catch (const Error&) {
        // A store that cannot be read has no presets to offer.
    }
    cboPreset->setCurrentText(current);
}

// Crystals: each press of Next crystal measures the one in the fixture and
// adds a row; rows sort by any column, and crystals whose series resonances
// agree within the tolerance share a group (for a ladder filter).
QWidget* FormAnalyser::crystalPage() {
    auto* page = new QWidget(this);
    cboR0 = new QComboBox(page);
    cboR0->setObjectName(QStringLiteral("cboR0"));
    cboR0->addItem(QStringLiteral("12.5 ohm"), 12.5);
    cboR0->addItem(QStringLiteral("50 ohm"), 50.0);
    spnNear = new QDoubleSpinBox(page);
    spnNear->setObjectName(QStringLiteral("spnNear"));
    spnNear->setRange(0.01, 60);
    spnNear->setDecimals(6);
    spnNear->setValue(10);
    spnNear->setSuffix(QStringLiteral(" MHz"));
    spnTolerance = new QSpinBox(page);
    spnTolerance->setObjectName(QStringLiteral("spnTolerance"));
    spnTolerance->setRange(1, 100000);
    spnTolerance->setValue(50);
    spnTolerance->setSuffix(QStringLiteral(" Hz"));
    auto* cmdNext = new QPushButton(QStringLiteral("&Next crystal"), page);
    cmdNext->setObjectName(QStringLiteral("cmdNextCrystal"));
    auto* cmdExportCrystals = new QPushButton(QStringLiteral("Export CSV..."), page);
    cmdExportCrystals->setObjectName(QStringLiteral("cmdExportCrystals"));
    tblCrystals = new QTableWidget(0, 10, page);
    tblCrystals->setObjectName(QStringLiteral("tblCrystals"));
    tblCrystals->setHorizontalHeaderLabels({QStringLiteral("#"), QStringLiteral("fs MHz"),
                                            QStringLiteral("fp MHz"), QStringLiteral("IL dB"),
                                            QStringLiteral("Rm ohm"), QStringLiteral("Lm mH"),
                                            QStringLiteral("Cm fF"), QStringLiteral("C0 pF"),
                                            QStringLiteral("Q"), QStringLiteral("Group")});
    tblCrystals->setSortingEnabled(true);
    tblCrystals->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tblCrystals->setMinimumWidth(420);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Fixture R0"), cboR0);
    form->addRow(QStringLiteral("Near"), spnNear);
    form->addRow(QStringLiteral("Group within"), spnTolerance);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdNext);
    buttons->addWidget(cmdExportCrystals);
    auto* column = new QVBoxLayout(page);
    column->addLayout(form);
    column->addLayout(buttons);
    column->addWidget(tblCrystals, 1);
    connect(cmdNext, &QPushButton::clicked, this, &FormAnalyser::cmdNextCrystal_Click);
    connect(spnTolerance, &QSpinBox::valueChanged, this, &FormAnalyser::groupCrystals);
    connect(cmdExportCrystals, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export crystals"),
                                                          QString(), QStringLiteral("CSV (*.csv)"));
        if (!path.isEmpty()) exportCrystals(path);
    });
    return page;
}

std::optional<analyser::Motional> FormAnalyser::cmdNextCrystal_Click() {
    if (!prepareRun()) return std::nullopt;
    // Levels against the through where it covers the sweep, else the source.
    const analyser::SweepFn sweep = [this](const std::vector<double>& frequencies) {
        analyser::SweepRunner::Setup s;
        s.frequencies = frequencies;
        s.settleMs = spnSettle->value();
        s.samples = spnSamples->value();
        analyser::Trace t = m_runner->run(s);
        QString unused;
        if (const auto n = analyser::normalise(t, m_through, &unused)) return *n;
        for (auto& p : t) p.level -= spnSource->value();
        return t;
    };
    const double near = spnNear->value() * 1e6;
    QString why;
    std::optional<analyser::Motional> m;
    try {
        m = analyser::measureCrystal(sweep, near * 0.995, near * 1.005,
                                     cboR0->currentData().toDouble(), &why);
    } catch (const Error& e) {
        why = e.description();
    }
    giveBoardBack();
    if (!m) {
        ui::showMessage(this, QStringLiteral("Network Analyser"),
                        QStringLiteral("No crystal measured: ") + why);
        return std::nullopt;
    }
    const bool sorting = tblCrystals->isSortingEnabled();
    tblCrystals->setSortingEnabled(false);
    const int row = tblCrystals->rowCount();
    tblCrystals->insertRow(row);
    const double values[] = {double(row + 1), m->fs / 1e6,  m->fp / 1e6,  m->ilDb, m->rm,
                             m->lm * 1e3,     m->cm * 1e15, m->c0 * 1e12, m->q};
    const int decimals[] = {0, 6, 6, 2, 2, 4, 3, 3, 0};
    for (int c = 0; c < 9; ++c) {
        auto* item = new QTableWidgetItem;
        item->setData(Qt::DisplayRole, QString::number(values[c], 'f', decimals[c]).toDouble());
        tblCrystals->setItem(row, c, item);
    }
    tblCrystals->setItem(row, 9, new QTableWidgetItem);
    tblCrystals->setSortingEnabled(sorting);
    groupCrystals();
    lblLeft->setText(QStringLiteral("Crystal %1: fs %2 MHz, Rm %3 ohm, Q %4")
                         .arg(row + 1)
                         .arg(m->fs / 1e6, 0, 'f', 6)
                         .arg(m->rm, 0, 'f', 1)
                         .arg(m->q, 0, 'f', 0));
    return m;
}

void FormAnalyser::groupCrystals() {
    // By rising fs: a crystal joins the group of the one before when their
    // series resonances agree within the tolerance.
    std::vector<std::pair<double, int>> byFs;
    for (int r = 0; r < tblCrystals->rowCount(); ++r)
        if (auto* item = tblCrystals->item(r, 1))
            byFs.push_back({item->data(Qt::DisplayRole).toDouble(), r});
    std::sort(byFs.begin(), byFs.end());
    int group = 0;
    const bool sorting = tblCrystals->isSortingEnabled();
    tblCrystals->setSortingEnabled(false);
    for (size_t i = 0; i < byFs.size(); ++i) {
        if (i == 0 || (byFs[i].first - byFs[i - 1].first) * 1e6 > spnTolerance->value()) ++group;
        if (auto* item = tblCrystals->item(byFs[i].second, 9))
            item->setData(Qt::DisplayRole, group);
    }
    tblCrystals->setSortingEnabled(sorting);
}

bool FormAnalyser::exportCrystals(const QString& path) {
    QString text = QStringLiteral("number,fs_hz,fp_hz,il_db,rm_ohm,lm_h,cm_f,c0_f,q,group\n");
    for (int r = 0; r < tblCrystals->rowCount(); ++r) {
        auto v = [&](int c) { return tblCrystals->item(r, c)->data(Qt::DisplayRole).toDouble(); };
        text += QStringLiteral("%1,%2,%3,%4,%5,%6,%7,%8,%9,%10\n")
                    .arg(v(0))
                    .arg(v(1) * 1e6, 0, 'f', 1)
                    .arg(v(2) * 1e6, 0, 'f', 1)
                    .arg(v(3), 0, 'f', 2)
                    .arg(v(4), 0, 'f', 2)
                    .arg(v(5) * 1e-3, 0, 'g', 6)
                    .arg(v(6) * 1e-15, 0, 'g', 6)
                    .arg(v(7) * 1e-12, 0, 'g', 6)
                    .arg(v(8), 0, 'f', 0)
                    .arg(v(9));
    }
    return writeFile(path, text.toUtf8());
}

} // namespace kalimor
