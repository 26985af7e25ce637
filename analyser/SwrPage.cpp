#include "SwrPage.h"

#include "analyser/BoardScan.h"
#include "analyser/SketchSweep.h"
#include "analyser/SwrSettings.h"
#include "core/Calibration.h"
#include "core/Error.h"
#include "core/Numbers.h"
#include "dds/Board.h"
#include "settings/SafeFile.h"
#include "ui/Globals.h"
#include "ui/Ui.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineSeries>
#include <QPen>
#include <QPushButton>
#include <QScatterSeries>
#include <QSpinBox>
#include <QVBoxLayout>
#include <QValueAxis>

#include <cmath>

namespace kalimor {

using namespace analyser::swr;

namespace {

const QString Title = QStringLiteral("Network Analyser");
// The plot's SWR axis stops here: above it an antenna is simply not matched.
constexpr double TopSwr = 10;

QString mhz(double hz) {
    return QStringLiteral("%1 MHz").arg(hz / 1e6, 0, 'f', 6);
}

} // namespace

SwrPage::SwrPage(Hooks hooks, QWidget* parent)
    : QWidget(parent), m_hooks(std::move(hooks)), m_sketch(new SketchSweep(this)) {
    using ui::named;
    auto mhzBox = [&](const char* name, double value) {
        auto* box = named(new QDoubleSpinBox(this), name);
        box->setRange(0.001, 125);
        box->setDecimals(6);
        box->setSuffix(QStringLiteral(" MHz"));
        box->setValue(value);
        return box;
    };
    m_bands = new QGridLayout;
    for (const HamBand& b : hamBands())
        addBandButton(QString::fromLatin1(b.name), b.lowHz, b.highHz, true);
    for (const auto& b : swr_settings::userBands(Globals::settings()))
        addBandButton(b.name, b.lowHz, b.highHz, false);
    auto* cmdAddBand =
        named(new QPushButton(QStringLiteral("Keep range as band..."), this), "cmdAddBand");
    spnStart = mhzBox("spnSwrStart", 6.5);
    spnStop = mhzBox("spnSwrStop", 7.7);
    spnPoints = named(new QSpinBox(this), "spnSwrPoints");
    spnPoints->setRange(3, 10001);
    spnPoints->setValue(101);
    spnSamples = named(new QSpinBox(this), "spnSwrSamples");
    spnSamples->setRange(1, 64);
    spnSamples->setValue(4);
    cboDut = named(new QComboBox(this), "cboSwrDut");
    cboDut->addItem(QStringLiteral("Open"), int(Dut::Kind::Open));
    cboDut->addItem(QStringLiteral("Short"), int(Dut::Kind::Short));
    cboDut->addItem(QStringLiteral("50 ohm load"), int(Dut::Kind::Load));
    cboDut->addItem(QStringLiteral("Antenna, series R-L-C"), int(Dut::Kind::Antenna));
    cboDut->setCurrentIndex(3);
    cboDut->setToolTip(QStringLiteral("What the simulated board's bridge has on its port"));
    auto valueBox = [&](const char* name, double low, double high, double value, int decimals,
                        const QString& suffix) {
        auto* box = named(new QDoubleSpinBox(this), name);
        box->setRange(low, high);
        box->setDecimals(decimals);
        box->setValue(value);
        box->setSuffix(suffix);
        return box;
    };
    spnR = valueBox("spnSwrR", 0, 10000, 50, 1, QStringLiteral(" ohm"));
    spnL = valueBox("spnSwrL", 0, 1e6, 10, 3, QStringLiteral(" uH"));
    spnC = valueBox("spnSwrC", 0.001, 1e9, 50.249, 3, QStringLiteral(" pF"));
    spnL->setToolTip(QStringLiteral("0 for no inductance"));
    spnC->setToolTip(QStringLiteral("A very large value for no capacitance"));
    m_antenna = new QWidget(this);
    auto* rlc = new QHBoxLayout(m_antenna);
    rlc->setContentsMargins(0, 0, 0, 0);
    for (auto* box : {spnR, spnL, spnC}) rlc->addWidget(box);
    auto* cmdOpen = named(new QPushButton(QStringLiteral("&Open"), this), "cmdCalOpen");
    auto* cmdShort = named(new QPushButton(QStringLiteral("S&hort"), this), "cmdCalShort");
    auto* cmdLoad = named(new QPushButton(QStringLiteral("&Load"), this), "cmdCalLoad");
    lblCalibration = named(new QLabel(this), "lblSwrCalibration");
    lblCalibration->setWordWrap(true);
    cboDetectors = named(new QComboBox(this), "cboSwrDetectors");
    cboDetectors->addItems({QStringLiteral("One on A0, calibrated per point"),
                            QStringLiteral("Two diodes: A1 forward, A0 reflected")});
    auto* cmdOffsets =
        named(new QPushButton(QStringLiteral("Read offsets"), this), "cmdSwrOffsets");
    cmdOffsets->setToolTip(QStringLiteral("Reads both detectors with the output powered down"));
    cboKnown = named(new QComboBox(this), "cboSwrKnown");
    cboKnown->addItem(QStringLiteral("Open or short"), 1.0);
    cboKnown->addItem(QStringLiteral("12.5 or 200 ohm"), 0.6);
    cboKnown->addItem(QStringLiteral("25 or 100 ohm"), 1 / 3.0);
    cboKnown->addItem(QStringLiteral("75 ohm"), 0.2);
    cboKnown->addItem(QStringLiteral("50 ohm"), 0.0);
    auto* cmdKnown = named(new QPushButton(QStringLiteral("Measure"), this), "cmdSwrKnown");
    cmdKnown->setToolTip(QStringLiteral("Reads both detectors with this known load connected"));
    lblPair = named(new QLabel(this), "lblSwrPair");
    lblPair->setWordWrap(true);
    cmdRun = named(new QPushButton(QStringLiteral("R&un"), this), "cmdSwrRun");
    cmdStop = named(new QPushButton(QStringLiteral("Sto&p"), this), "cmdSwrStop");
    cmdStop->setEnabled(false);
    auto* cmdExport = named(new QPushButton(QStringLiteral("Export CSV..."), this), "cmdSwrCsv");
    lblStatus = named(new QLabel(this), "lblSwrStatus");
    lblStatus->setWordWrap(true);

    auto* form = new QFormLayout(this);
    form->addRow(QStringLiteral("Band"), m_bands);
    form->addRow(QString(), cmdAddBand);
    form->addRow(QStringLiteral("Start"), spnStart);
    form->addRow(QStringLiteral("Stop"), spnStop);
    form->addRow(QStringLiteral("Points"), spnPoints);
    form->addRow(QStringLiteral("Samples"), spnSamples);
    lblDut = new QLabel(QStringLiteral("Simulated device"), this);
    form->addRow(lblDut, cboDut);
    form->addRow(QString(), m_antenna);
    auto* standards = new QHBoxLayout;
    for (auto* b : {cmdOpen, cmdShort, cmdLoad}) standards->addWidget(b);
    form->addRow(QStringLiteral("Calibrate"), standards);
    form->addRow(lblCalibration);
    form->addRow(QStringLiteral("Detectors"), cboDetectors);
    auto* knownRow = new QHBoxLayout;
    knownRow->addWidget(cboKnown, 1);
    knownRow->addWidget(cmdKnown);
    form->addRow(QStringLiteral("Known load"), knownRow);
    form->addRow(QString(), cmdOffsets);
    form->addRow(lblPair);
    auto* runStop = new QHBoxLayout;
    for (auto* b : {cmdRun, cmdStop, cmdExport}) runStop->addWidget(b);
    form->addRow(runStop);
    form->addRow(lblStatus);

    // The plot: SWR against MHz, the 2:1 line, the least SWR marked.
    m_chart = new QChart;
    m_chart->legend()->hide();
    m_series = new QLineSeries(m_chart);
    m_twoToOne = new QLineSeries(m_chart);
    QPen dashed(Qt::darkRed);
    dashed.setStyle(Qt::DashLine);
    m_twoToOne->setPen(dashed);
    m_least = new QScatterSeries(m_chart);
    m_least->setMarkerSize(9);
    for (auto* s : std::initializer_list<QXYSeries*>{m_series, m_twoToOne, m_least})
        m_chart->addSeries(s);
    auto* x = new QValueAxis(m_chart);
    x->setTitleText(QStringLiteral("MHz"));
    x->setLabelFormat(QStringLiteral("%.3f"));
    auto* y = new QValueAxis(m_chart);
    y->setTitleText(QStringLiteral("SWR"));
    y->setRange(1, TopSwr);
    y->setTickCount(int(TopSwr)); // a line at each whole SWR
    y->setLabelFormat(QStringLiteral("%.0f"));
    x->setRange(spnStart->value(), spnStop->value());
    m_chart->addAxis(x, Qt::AlignBottom);
    m_chart->addAxis(y, Qt::AlignLeft);
    for (auto* s : m_chart->series()) {
        s->attachAxis(x);
        s->attachAxis(y);
    }
    m_view = new QChartView(m_chart);
    m_view->setRenderHint(QPainter::Antialiasing);
    m_view->setMinimumSize(360, 260);
    m_view->setFocusPolicy(Qt::NoFocus);
    lblResult = named(new QLabel, "lblSwrResult");
    lblResult->setWordWrap(true);
    lblResult->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_plot = new QWidget(parent);
    m_plot->setObjectName(QStringLiteral("swrPlot"));
    auto* column = new QVBoxLayout(m_plot);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(m_view, 1);
    column->addWidget(lblResult);

    m_runner = std::make_unique<analyser::SweepRunner>(
        [](double hz) {
            dds::board().load(tuningWord(hz, Globals::RefClkHz), Globals::PhaseStep, 0,
                              dds::Controller::Analyser);
        },
        [this](int n) { return read(n); });
    connect(m_runner.get(), &analyser::SweepRunner::progress, this, [this](int done, int total) {
        lblStatus->setText(QStringLiteral("%1 of %2 points").arg(done).arg(total));
    });
    connect(m_runner.get(), &analyser::SweepRunner::finished, this, &SwrPage::finished);
    connect(m_runner.get(), &analyser::SweepRunner::failed, this, [this](const QString& why) {
        lblStatus->setText(QStringLiteral("Stopped: ") + why);
        done();
    });
    connect(cmdOpen, &QPushButton::clicked, this, [this] { calibrate(Standard::Open); });
    connect(cmdShort, &QPushButton::clicked, this, [this] { calibrate(Standard::Short); });
    connect(cmdLoad, &QPushButton::clicked, this, [this] { calibrate(Standard::Load); });
    connect(cmdRun, &QPushButton::clicked, this, &SwrPage::cmdRun_Click);
    connect(cmdOffsets, &QPushButton::clicked, this, &SwrPage::readOffsets);
    connect(cmdKnown, &QPushButton::clicked, this,
            [this] { addKnownLoad(cboKnown->currentData().toDouble()); });
    auto pairShown = [this, cmdOffsets, cmdKnown] {
        for (QWidget* w : std::initializer_list<QWidget*>{cmdOffsets, cmdKnown, cboKnown})
            w->setEnabled(pairMode());
        lblPair->setText(pairMode() ? QStringLiteral("Offsets %1 and %2 steps; %3 known loads")
                                          .arg(m_pair.forwardOffset, 0, 'f', 1)
                                          .arg(m_pair.reflectedOffset, 0, 'f', 1)
                                          .arg(m_pair.linearisation.size())
                                    : QString());
    };
    connect(cboDetectors, &QComboBox::currentIndexChanged, this, pairShown);
    connect(this, &SwrPage::pairChanged, this, pairShown);
    pairShown();
    connect(spnStart, &QDoubleSpinBox::valueChanged, this, &SwrPage::showCalibration);
    connect(spnStop, &QDoubleSpinBox::valueChanged, this, &SwrPage::showCalibration);
    connect(spnPoints, &QSpinBox::valueChanged, this, &SwrPage::showCalibration);
    connect(cmdStop, &QPushButton::clicked, this, &SwrPage::cmdStop_Click);
    connect(cboDut, &QComboBox::currentIndexChanged, this,
            [this] { m_antenna->setVisible(lblDut->isVisible() && cboDut->currentIndex() == 3); });
    connect(cmdAddBand, &QPushButton::clicked, this, [this] {
        bool ok = false;
        const QString name = QInputDialog::getText(this, Title, QStringLiteral("Band name"),
                                                   QLineEdit::Normal, QString(), &ok);
        if (ok) addUserBand(name);
    });
    connect(cmdExport, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export SWR CSV"),
                                                          QString(), QStringLiteral("CSV (*.csv)"));
        if (!path.isEmpty()) exportCsv(path);
    });
    connect(m_sketch, &SketchSweep::done, this, &SwrPage::sketchDone);
    m_calibration = swr_settings::calibration();
    QString damaged;
    m_pair = swr_settings::detectorPair(Globals::settings(), &damaged);
    if (!damaged.isEmpty()) ui::showMessage(this, Title, damaged);
    Q_EMIT pairChanged();
    showCalibration();
    showResult();
}

SwrPage::~SwrPage() {
    m_runner->disconnect(this);
    m_runner->stop();
}

void SwrPage::showEvent(QShowEvent* event) {
    // A real port's bridge has whatever the user connected.
    const bool simulated = dds::board().simulated();
    lblDut->setVisible(simulated);
    cboDut->setVisible(simulated);
    m_antenna->setVisible(simulated && cboDut->currentIndex() == 3);
    QWidget::showEvent(event);
}

void SwrPage::addBandButton(const QString& name, double lowHz, double highHz, bool widen) {
    auto* b = new QPushButton(name, this);
    b->setObjectName(QStringLiteral("cmdBand") + QString(name).remove(QLatin1Char(' ')));
    b->setToolTip(QStringLiteral("%1 to %2").arg(mhz(lowHz), mhz(highHz)));
    // The user's own bands are their own ranges, not widened as the amateur bands are.
    connect(b, &QPushButton::clicked, this, [this, lowHz, highHz, widen] {
        const auto [from, to] = widen ? bandSweep(lowHz, highHz) : std::pair{lowHz, highHz};
        spnStart->setValue(from / 1e6);
        spnStop->setValue(to / 1e6);
        showCalibration();
    });
    m_bands->addWidget(b, m_bandButtons / 4, m_bandButtons % 4);
    ++m_bandButtons;
}

bool SwrPage::addUserBand(const QString& name) {
    const swr_settings::UserBand band{name.trimmed(), spnStart->value() * 1e6,
                                      spnStop->value() * 1e6};
    if (band.name.isEmpty() || band.highHz <= band.lowHz) {
        ui::showMessage(this, Title,
                        QStringLiteral("A band needs a name, and its start below its stop"));
        return false;
    }
    try {
        swr_settings::saveUserBand(Globals::settings(), band);
    } catch (const Error& e) {
        ui::showMessage(this, Title, e.description());
        return false;
    }
    addBandButton(band.name, band.lowHz, band.highHz, false);
    return true;
}

Dut SwrPage::simulatedDut() const {
    Dut d;
    d.kind = Dut::Kind(cboDut->currentData().toInt());
    d.r = spnR->value();
    d.l = spnL->value() * 1e-6;
    d.c = spnC->value() * 1e-12;
    return d;
}

bool SwrPage::pairMode() const {
    return cboDetectors->currentIndex() == 1;
}

double SwrPage::read(int samples) {
    const double hz = producedHz(dds::board().held().word, Globals::RefClkHz);
    const bool simulated = dds::board().simulated();
    if (simulated) m_bridge->setPowered(dds::board().held().powerDown == 0);
    if (!pairMode())
        return simulated ? m_bridge->reflectedSteps(hz, samples)
                         : dds::board().readAnalog(0, samples);
    // Both detectors; the point carries |Gamma| itself, which finished() reads.
    const double forward =
        simulated ? m_bridge->forwardSteps(hz, samples) : dds::board().readAnalog(1, samples);
    const double reflected =
        simulated ? m_bridge->reflectedSteps(hz, samples) : dds::board().readAnalog(0, samples);
    return m_pair.gamma(forward, reflected).value_or(1);
}

std::optional<std::pair<double, double>> SwrPage::readPair(bool powered) {
    if (m_runner->running() || m_sketch->awaited() || !m_hooks.takeBoard()) return std::nullopt;
    analyser::Detector diode;
    diode.kind = analyser::Detector::Kind::Diode;
    m_bridge = std::make_unique<SimulatedBridge>(simulatedDut(), diode);
    const double hz = (spnStart->value() + spnStop->value()) / 2 * 1e6;
    std::optional<std::pair<double, double>> out;
    try {
        dds::board().load(tuningWord(hz, Globals::RefClkHz), Globals::PhaseStep, powered ? 0 : 1,
                          dds::Controller::Analyser);
        const int n = spnSamples->value();
        if (dds::board().simulated()) {
            m_bridge->setPowered(powered);
            out.emplace(m_bridge->forwardSteps(hz, n), m_bridge->reflectedSteps(hz, n));
        } else {
            out.emplace(dds::board().readAnalog(1, n), dds::board().readAnalog(0, n));
        }
    } catch (const Error& e) {
        lblStatus->setText(e.description());
    }
    m_hooks.giveBoardBack();
    return out;
}

bool SwrPage::readOffsets() {
    const auto r = readPair(false);
    if (!r) return false;
    m_pair.forwardOffset = r->first;
    m_pair.reflectedOffset = r->second;
    pairMeasured();
    return true;
}

void SwrPage::pairMeasured() {
    // Kept at once: a calibration against known loads is an afternoon's work.
    try {
        swr_settings::saveDetectorPair(Globals::settings(), m_pair);
    } catch (const Error& e) {
        ui::showMessage(this, Title,
                        QStringLiteral("The detectors' calibration is used but not kept: ") +
                            e.description());
    }
    Q_EMIT pairChanged();
}

bool SwrPage::addKnownLoad(double gamma) {
    const auto r = readPair(true);
    if (!r) return false;
    const double forward = r->first - m_pair.forwardOffset;
    if (forward < 1) {
        lblStatus->setText(QStringLiteral("The forward detector reads nothing: is the output on?"));
        return false;
    }
    m_pair.addKnownLoad(std::max(0.0, r->second - m_pair.reflectedOffset) / forward, gamma);
    pairMeasured();
    return true;
}

void SwrPage::calibrate(Standard standard) {
    start(standard);
}

void SwrPage::cmdRun_Click() {
    start(std::nullopt);
}

void SwrPage::start(std::optional<Standard> standard) {
    if (m_runner->running() || m_sketch->awaited()) return;
    const double from = spnStart->value() * 1e6, to = spnStop->value() * 1e6;
    if (!(to > from)) {
        lblStatus->setText(QStringLiteral("The stop must be above the start"));
        return;
    }
    if (const auto port = dds::board().portChoice();
        port && port->kind == dds::PortSpec::Kind::Sketch) {
        if (standard) {
            lblStatus->setText(QStringLiteral("The antenna analyser sketch calibrates itself: "
                                              "there is no standard to measure"));
            return;
        }
        return startSketch(port->device, port->baud);
    }
    if (pairMode() && standard) {
        lblStatus->setText(QStringLiteral("Two detectors are calibrated with Read offsets and "
                                          "known loads, not per point"));
        return;
    }
    if (!m_hooks.takeBoard()) {
        lblStatus->setText(QStringLiteral("Not run: the board is busy with another run"));
        return;
    }
    const analyser::Detector detector = m_hooks.detector();
    analyser::Detector textbook;
    textbook.kind = pairMode() ? analyser::Detector::Kind::Diode : detector.kind;
    m_bridge = std::make_unique<SimulatedBridge>(simulatedDut(), textbook);
    m_runner->setDetector(detector);
    // Two detectors a point: the board's scan reads one.
    m_runner->setScan(pairMode() ? analyser::SweepRunner::ScanFn{}
                                 : analyser::boardScan(Globals::RefClkHz, Globals::PhaseStep));
    m_pending = standard;
    m_expected = size_t(spnPoints->value());
    analyser::SweepRunner::Setup s;
    s.frequencies = analyser::sweepFrequencies(from, to, spnPoints->value(), false);
    s.samples = spnSamples->value();
    cmdRun->setEnabled(false);
    cmdStop->setEnabled(true);
    Q_EMIT busy(true);
    lblStatus->setText(standard ? QStringLiteral("Measuring the %1...").arg(standardName(*standard))
                                : QStringLiteral("Sweeping..."));
    m_runner->start(s);
}

void SwrPage::startSketch(const QString& device, int baud) {
    if (!m_hooks.takeBoard()) {
        lblStatus->setText(QStringLiteral("Not run: the board is busy with another run"));
        return;
    }
    if (!m_sketch->start(device, baud, spnStart->value() * 1e6, spnStop->value() * 1e6,
                         spnPoints->value() - 1)) {
        m_hooks.giveBoardBack();
        lblStatus->setText(
            QStringLiteral("Not run: the antenna analyser is still finishing the last sweep"));
        return;
    }
    cmdRun->setEnabled(false);
    cmdStop->setEnabled(true);
    Q_EMIT busy(true);
    lblStatus->setText(QStringLiteral("The antenna analyser on %1 is sweeping...").arg(device));
}

void SwrPage::sketchDone(const SwrTrace& trace, const QString& failure) {
    if (failure.isEmpty()) {
        m_trace = trace;
        lblStatus->setText(QStringLiteral("%1 points from the antenna analyser").arg(trace.size()));
    } else {
        m_trace.clear();
        m_why = QStringLiteral("No SWR: ") + failure;
        lblStatus->setText(m_why);
    }
    showResult();
    done();
}

void SwrPage::cmdStop_Click() {
    if (m_sketch->awaited()) {
        m_sketch->drop();
        lblStatus->setText(QStringLiteral("Stopped: the antenna analyser's sweep is dropped"));
        return done();
    }
    m_runner->stop();
}

void SwrPage::finished(const analyser::Trace& levels) {
    const bool whole = !levels.empty() && levels.size() == m_expected;
    if (!whole) {
        // Stopped: a part of a range is neither a calibration nor a sweep to read.
        lblStatus->setText(QStringLiteral("Stopped after %1 points").arg(levels.size()));
    } else if (pairMode() && !m_pending) {
        // The forward detector is the reference: no per-point calibration.
        m_trace.clear();
        for (const analyser::Point& p : levels) m_trace.push_back({p.hz, p.raw});
        lblStatus->setText(QStringLiteral("%1 points, two detectors").arg(levels.size()));
        showResult();
    } else if (m_pending) {
        m_calibration.record(*m_pending, levels);
        if (const auto failure = swr_settings::saveCalibration(m_calibration))
            ui::showMessage(this, Title,
                            QStringLiteral("The calibration is used but not kept: ") + *failure);
        lblStatus->setText(QStringLiteral("The %1 is measured").arg(standardName(*m_pending)));
        showCalibration();
    } else {
        QString why;
        if (const auto t = m_calibration.apply(levels, &why)) {
            m_trace = *t;
            lblStatus->setText(QStringLiteral("%1 points").arg(t->size()));
        } else {
            // Never numbers without a calibration for this range.
            m_trace.clear();
            m_why = QStringLiteral("No SWR: ") + why;
            lblStatus->setText(m_why);
        }
        showResult();
    }
    m_pending.reset();
    done();
}

void SwrPage::done() {
    m_hooks.giveBoardBack();
    cmdRun->setEnabled(true);
    cmdStop->setEnabled(false);
    Q_EMIT busy(false);
}

void SwrPage::showCalibration() {
    const auto f = analyser::sweepFrequencies(spnStart->value() * 1e6, spnStop->value() * 1e6,
                                              spnPoints->value(), false);
    lblCalibration->setText(m_calibration.covers(f)
                                ? m_calibration.describe().replace(0, 1, QLatin1Char('C'))
                                : QStringLiteral("Not calibrated for this range: connect an open "
                                                 "(or short) and press Open (or Short)"));
}

QString SwrPage::resultText() const {
    return lblResult->text();
}

void SwrPage::showResult() {
    m_series->clear();
    m_twoToOne->clear();
    m_least->clear();
    if (m_trace.empty()) {
        lblResult->setText(m_why);
        return;
    }
    for (const SwrPoint& p : m_trace) m_series->append(p.hz / 1e6, std::min(p.swr(), TopSwr));
    const double from = m_trace.front().hz / 1e6, to = m_trace.back().hz / 1e6;
    m_twoToOne->append(from, 2);
    m_twoToOne->append(to, 2);
    m_chart->axes(Qt::Horizontal).first()->setRange(from, to);
    const Summary s = summarise(m_trace);
    m_least->append(s.resonanceHz / 1e6, std::min(s.swr(), TopSwr));
    QStringList lines;
    lines << QStringLiteral("Resonance: %1, SWR %2, return loss %3 dB")
                 .arg(mhz(s.resonanceHz))
                 .arg(s.swr(), 0, 'f', 3)
                 .arg(returnLossDb(s.gamma), 0, 'f', 2);
    for (const Band& b : s.bands)
        lines << (b.crosses() ? QStringLiteral("SWR %1: %2 - %3, %4 kHz")
                                    .arg(b.swr)
                                    .arg(mhz(*b.lowHz), mhz(*b.highHz))
                                    .arg(b.widthHz() / 1e3, 0, 'f', 1)
                              : QStringLiteral("SWR %1: none").arg(b.swr));
    lblResult->setText(lines.join(QLatin1Char('\n')));
}

bool SwrPage::exportCsv(const QString& path) {
    if (m_trace.empty()) {
        ui::showMessage(this, Title, QStringLiteral("Run a calibrated sweep first"));
        return false;
    }
    const QString what =
        QStringLiteral("%1; %2").arg(m_hooks.detector().describe(), m_calibration.describe());
    if (const auto failure = replaceFile(path, toCsv(m_trace, what).toUtf8())) {
        ui::showMessage(this, Title, *failure);
        return false;
    }
    return true;
}

} // namespace kalimor
