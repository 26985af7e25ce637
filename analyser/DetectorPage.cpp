#include "DetectorPage.h"

#include "analyser/AnalyserSession.h"
#include "analyser/AnalyserSettings.h"
#include "core/Error.h"
#include "ui/Globals.h"
#include "ui/Ui.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QPushButton>

namespace kalimor {

using analyser::Detector;

DetectorPage::DetectorPage(AnalyserSession* session, std::function<std::pair<double, int>()> where,
                           QWidget* parent)
    : QWidget(parent), m_session(session), m_where(std::move(where)) {
    using ui::named;
    cboDetector = named(new QComboBox(this), "cboDetector");
    cboDetector->addItems(
        {QStringLiteral("Log detector (AD8307)"), QStringLiteral("Linear diode detector")});
    spnSlope = named(new QDoubleSpinBox(this), "spnSlope");
    spnSlope->setRange(-1000, 1000);
    spnSlope->setDecimals(3);
    spnIntercept = named(new QDoubleSpinBox(this), "spnIntercept");
    spnIntercept->setRange(-1000, 1000);
    spnIntercept->setDecimals(3);
    spnSource = named(new QDoubleSpinBox(this), "spnSource");
    spnSource->setRange(-60, 20);
    spnSource->setSuffix(QStringLiteral(" dBm"));
    spnSource->setToolTip(QStringLiteral("The generator's level, which crystal losses are read "
                                         "against when no through is recorded"));

    auto* form = new QFormLayout(this);
    form->addRow(QStringLiteral("Detector"), cboDetector);
    form->addRow(QStringLiteral("Slope mV/dB"), spnSlope);
    form->addRow(QStringLiteral("Intercept dBm"), spnIntercept);
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
    connect(cmdCalibrate, &QPushButton::clicked, this, &DetectorPage::calibrateLevels);
    form->addRow(QString(), cmdCalibrate);
    form->addRow(QStringLiteral("Source level"), spnSource);

    // As the last session left it.
    cboDetector->setCurrentIndex(
        analyser_settings::detector(Globals::settings()).kind == Detector::Kind::Diode ? 1 : 0);
    loadDetector();
    connect(cboDetector, &QComboBox::currentIndexChanged, this, [this] {
        saveDetector();
        loadDetector();
    });
}

Detector DetectorPage::detector() const {
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
void DetectorPage::loadDetector() {
    const Detector d = analyser_settings::detector(
        Globals::settings(),
        cboDetector->currentIndex() == 0 ? Detector::Kind::Log : Detector::Kind::Diode);
    const QSignalBlocker quietA(spnSlope), quietB(spnIntercept);
    const bool log = d.kind == Detector::Kind::Log;
    spnSlope->setValue(log ? d.slopeMvPerDb : d.diodeA);
    spnIntercept->setValue(log ? d.interceptDbm : d.diodeB);
}

void DetectorPage::saveDetector() {
    try {
        analyser_settings::saveDetector(Globals::settings(), detector());
    } catch (const Error& e) {
        ui::showMessage(this, QStringLiteral("Network Analyser"), e.description());
    }
}

double DetectorPage::sourceDbm() const {
    return spnSource->value();
}

int DetectorPage::kindIndex() const {
    return cboDetector->currentIndex();
}

void DetectorPage::setDetector(int kindIndex, double slope, double intercept) {
    cboDetector->setCurrentIndex(kindIndex);
    spnSlope->setValue(slope);
    spnIntercept->setValue(intercept);
    saveDetector();
}

void DetectorPage::readLevel(int which) {
    const bool duringRun = m_session->holding();
    if (!m_session->takeBoard()) return;
    try {
        const auto [hz, samples] = m_where();
        m_session->tune(hz);
        m_session->ensureSimulated(detector().kind);
        m_levelMv[which] = Detector::adcToMv(m_session->read(samples));
        Q_EMIT m_session->status(QStringLiteral("Level %1: the detector reads %2 mV")
                                     .arg(which == 0 ? 'A' : 'B')
                                     .arg(m_levelMv[which], 0, 'f', 1));
    } catch (const Error& e) {
        ui::showMessage(this, QStringLiteral("Network Analyser"), e.description());
    }
    if (!duringRun) m_session->giveBoardBack();
}

bool DetectorPage::calibrateLevels() {
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
    Q_EMIT m_session->status(QStringLiteral("Calibrated: ") + d.describe());
    return true;
}

} // namespace kalimor
