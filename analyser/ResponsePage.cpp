#include "ResponsePage.h"

#include "analyser/AnalyserPlot.h"
#include "analyser/AnalyserSession.h"
#include "analyser/AnalyserSettings.h"
#include "analyser/DetectorPage.h"
#include "core/Error.h"
#include "settings/SafeFile.h"
#include "ui/Globals.h"
#include "ui/Ui.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>

namespace kalimor {

namespace {

using analyser::SharedTrace;
using analyser::SimulatedDevice;
using analyser::Trace;

const QString Title = QStringLiteral("Network Analyser");

SharedTrace shareTrace(Trace trace) {
    return std::make_shared<const Trace>(std::move(trace));
}

} // namespace

ResponsePage::ResponsePage(AnalyserSession* session, DetectorPage* detector, AnalyserPlot* view,
                           QWidget* parent)
    : QWidget(parent), m_session(session), m_detector(detector), plotView(view),
      m_measured(shareTrace({})), m_through(m_measured), m_shown(m_measured),
      m_memoryTrace(m_measured) {
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

    auto* form = new QFormLayout(this);
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
    auto row = [&](std::initializer_list<QWidget*> buttons) {
        auto* line = new QHBoxLayout;
        for (QWidget* b : buttons) line->addWidget(b);
        form->addRow(line);
    };
    row({cmdRun, cmdStop});
    form->addRow(progress);
    form->addRow(lblLeft);
    row({cmdThrough, cmdMemory});
    row({cmdZoom, cmdImport});
    row({cmdExport, cmdS2p, cmdPng});

    // As the last session left it: the device, the through.
    cboDevice->setCurrentIndex(
        cboDevice->findData(int(analyser_settings::simulatedDevice(Globals::settings()))));
    if (auto stored = analyser_settings::through()) m_through = shareTrace(std::move(*stored));
    listPresets();

    analyser::SweepRunner* runner = &m_session->runner();
    connect(runner, &analyser::SweepRunner::progress, this,
            [this, runner, shown = QElapsedTimer()](int done, int total, double left) mutable {
                // The trace grows on the plot as its points come, a few times
                // a second: a copy, for the runner goes on adding to its own.
                if (done < total && (!shown.isValid() || shown.elapsed() >= 250)) {
                    shown.start();
                    plot(shareTrace(runner->trace()));
                }
                progress->setMaximum(total);
                progress->setValue(done);
                lblLeft->setText(QStringLiteral("%1 of %2 points, %3 s left")
                                     .arg(done)
                                     .arg(total)
                                     .arg(left, 0, 'f', 1));
            });
    connect(runner, &analyser::SweepRunner::finished, this, [this, runner] {
        m_measured = runner->shared();
        plot(m_measured);
        if (!runner->running()) {
            m_session->giveBoardBack();
            cmdRun->setEnabled(true);
            cmdStop->setEnabled(false);
        }
    });
    connect(runner, &analyser::SweepRunner::failed, this, [this](const QString& why) {
        lblLeft->setText(QStringLiteral("Stopped: ") + why);
        m_session->giveBoardBack();
        cmdRun->setEnabled(true);
        cmdStop->setEnabled(false);
    });
    connect(m_session, &AnalyserSession::status, lblLeft, &QLabel::setText);
    connect(cmdRun, &QPushButton::clicked, this, &ResponsePage::cmdRun_Click);
    connect(cmdStop, &QPushButton::clicked, this, &ResponsePage::cmdStop_Click);
    connect(cmdThrough, &QPushButton::clicked, this, &ResponsePage::cmdThrough_Click);
    connect(cmdMemory, &QPushButton::clicked, this, &ResponsePage::cmdMemory_Click);
    connect(cmdZoom, &QPushButton::clicked, plotView, &AnalyserPlot::resetZoom);
    connect(chkNormalise, &QCheckBox::toggled, this, [this] { plot(m_measured); });
    connect(spnUserLevel, &QDoubleSpinBox::valueChanged, this, &ResponsePage::showMarkers);
    connect(spnUserHz, &QDoubleSpinBox::valueChanged, this, &ResponsePage::showMarkers);
    connect(cboShape, &QComboBox::currentIndexChanged, this, &ResponsePage::showMarkers);
    connect(cmdSavePreset, &QPushButton::clicked, this,
            [this] { savePreset(cboPreset->currentText()); });
    connect(cmdLoadPreset, &QPushButton::clicked, this,
            [this] { recallPreset(cboPreset->currentText()); });
    connect(chkLog, &QCheckBox::toggled, this, [this] { plot(m_measured); });
    auto saveAs = [this](QPushButton* button, const QString& title, const QString& filter,
                         bool (ResponsePage::*write)(const QString&)) {
        connect(button, &QPushButton::clicked, this, [this, title, filter, write] {
            const QString path = QFileDialog::getSaveFileName(this, title, QString(), filter);
            if (!path.isEmpty()) (this->*write)(path);
        });
    };
    saveAs(cmdS2p, QStringLiteral("Export Touchstone"), QStringLiteral("Touchstone (*.s2p)"),
           &ResponsePage::exportTouchstone);
    saveAs(cmdExport, QStringLiteral("Export CSV"), QStringLiteral("CSV (*.csv)"),
           &ResponsePage::exportCsv);
    saveAs(cmdPng, QStringLiteral("Export PNG"), QStringLiteral("PNG (*.png)"),
           &ResponsePage::exportPng);
    connect(cmdImport, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Import CSV"),
                                                          QString(), QStringLiteral("CSV (*.csv)"));
        if (!path.isEmpty()) importCsv(path);
    });
}

void ResponsePage::setStatus(const QString& text) {
    lblLeft->setText(text);
}

void ResponsePage::showDeviceChoice(bool simulated) {
    lblDevice->setVisible(simulated);
    cboDevice->setVisible(simulated);
}

analyser::SweepRunner::Setup ResponsePage::setup() const {
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

bool ResponsePage::prepareRun() {
    if (m_session->runner().running() || !m_session->takeBoard()) return false;
    m_detector->saveDetector();
    return m_session->prepare(m_detector->detector(),
                              SimulatedDevice::Kind(cboDevice->currentData().toInt()));
}

void ResponsePage::cmdRun_Click() {
    if (!prepareRun()) return;
    cmdRun->setEnabled(false);
    cmdStop->setEnabled(true);
    progress->setValue(0);
    m_session->runner().start(setup());
}

void ResponsePage::cmdStop_Click() {
    m_session->runner().stop();
    cmdRun->setEnabled(true);
    cmdStop->setEnabled(false);
}

void ResponsePage::cmdThrough_Click() {
    m_through = m_measured;
    // Kept for the next session and for kalimor --analyse.
    if (const auto failure = analyser_settings::saveThrough(*m_through))
        ui::showMessage(this, Title,
                        QStringLiteral("The through is used but not kept: ") + *failure);
    lblLeft->setText(QStringLiteral("Through recorded: %1 points").arg(m_through->size()));
    chkNormalise->setChecked(true);
}

void ResponsePage::cmdMemory_Click() {
    if (m_shown->empty()) return;
    m_memoryTrace = m_shown;
    plotView->addMemory(m_shown, QStringLiteral("Memory %1").arg(++m_memories));
    showMarkers();
}

void ResponsePage::plot(SharedTrace trace) {
    bool relative = chkNormalise->isChecked() && !m_through->empty();
    m_shown = std::move(trace);
    if (relative) {
        QString why;
        if (auto n = analyser::normalise(*m_shown, *m_through, &why)) {
            m_shown = shareTrace(std::move(*n));
        } else {
            // Never cut to the through's points: the run is shown as measured.
            relative = false;
            lblLeft->setText(why);
        }
    }
    plotView->showTrace(m_shown, chkLog->isChecked(), relative);
    showMarkers();
}

void ResponsePage::showMarkers() {
    plotView->showMarkers(*m_shown, analyser::Shape(cboShape->currentData().toInt()),
                          spnUserLevel->value(), spnUserHz->value() * 1e6,
                          m_memoryTrace->empty() ? nullptr : m_memoryTrace.get());
}

bool ResponsePage::exportCsv(const QString& path) {
    const analyser::Detector d = m_detector->detector();
    const QString description =
        QStringLiteral("%1; levels %2")
            .arg(d.describe(), chkNormalise->isChecked() && !m_through->empty()
                                   ? QStringLiteral("in dB against a through trace")
                                   : QStringLiteral("in dBm"));
    return writeFile(path, analyser::toCsv(*m_shown, description).toUtf8());
}

bool ResponsePage::exportPng(const QString& path) {
    if (plotView->savePng(path)) return true;
    ui::showMessage(this, Title, QStringLiteral("cannot write %1").arg(path));
    return false;
}

bool ResponsePage::importCsv(const QString& path) {
    QFile f(path);
    QString description, why = QStringLiteral("cannot read it");
    std::optional<Trace> trace;
    if (f.open(QIODevice::ReadOnly))
        trace = analyser::readCsv(QByteArrayView(f.readAll()), Globals::RefClkHz / 2, &description,
                                  &why);
    if (!trace) {
        ui::showMessage(this, Title, QStringLiteral("%1 is not imported: %2").arg(path, why));
        return false;
    }
    // Shown as a memory beside the measured trace, which markers then read.
    m_memoryTrace = shareTrace(std::move(*trace));
    plotView->addMemory(m_memoryTrace, QFileInfo(path).fileName());
    ++m_memories;
    showMarkers();
    return true;
}

bool ResponsePage::exportTouchstone(const QString& path) {
    QString why;
    std::optional<Trace> relative;
    if (m_through->empty())
        why = QStringLiteral("Record a through first: S21 is the level relative to it");
    else
        relative = analyser::normalise(*m_measured, *m_through, &why);
    if (relative && relative->empty()) why = QStringLiteral("Run a sweep first");
    if (!relative || relative->empty()) {
        ui::showMessage(this, Title, why);
        return false;
    }
    return writeFile(path,
                     analyser::toTouchstone(*relative, m_detector->detector().describe()).toUtf8());
}

bool ResponsePage::writeFile(const QString& path, const QByteArray& bytes) {
    // Whole or not at all, as the settings are saved.
    const auto failure = replaceFile(path, bytes);
    if (failure) ui::showMessage(this, Title, *failure);
    return !failure;
}

void ResponsePage::savePreset(const QString& name) {
    if (name.trimmed().isEmpty())
        return ui::showMessage(this, Title, QStringLiteral("Type a name for the preset"));
    analyser_settings::Preset p;
    p.range = cboRange->currentIndex();
    p.a = spnA->value();
    p.b = spnB->value();
    p.points = spnPoints->value();
    p.log = chkLog->isChecked();
    p.settleMs = spnSettle->value();
    p.samples = spnSamples->value();
    p.detector = m_detector->kindIndex();
    const analyser::Detector d = m_detector->detector();
    const bool log = d.kind == analyser::Detector::Kind::Log;
    p.slope = log ? d.slopeMvPerDb : d.diodeA;
    p.intercept = log ? d.interceptDbm : d.diodeB;
    try {
        analyser_settings::savePreset(Globals::settings(), name, p);
    } catch (const Error& e) {
        return ui::showMessage(this, Title, e.description());
    }
    listPresets();
    cboPreset->setCurrentText(name.trimmed());
}

bool ResponsePage::recallPreset(const QString& name) {
    const auto p = analyser_settings::preset(Globals::settings(), name);
    if (!p) {
        ui::showMessage(this, Title, QStringLiteral("There is no preset \"%1\"").arg(name));
        return false;
    }
    cboRange->setCurrentIndex(p->range);
    spnA->setValue(p->a);
    spnB->setValue(p->b);
    spnPoints->setValue(p->points);
    chkLog->setChecked(p->log);
    spnSettle->setValue(p->settleMs);
    spnSamples->setValue(p->samples);
    m_detector->setDetector(p->detector, p->slope, p->intercept);
    return true;
}

void ResponsePage::listPresets() {
    const QString current = cboPreset->currentText();
    cboPreset->clear();
    cboPreset->addItems(analyser_settings::presetNames(Globals::settings()));
    cboPreset->setCurrentText(current);
}

} // namespace kalimor
