#include "AnalyserSession.h"

#include "analyser/AnalyserSettings.h"
#include "analyser/BoardScan.h"
#include "core/Error.h"
#include "core/Numbers.h"
#include "ui/Globals.h"
#include "ui/Holders.h"
#include "ui/Ui.h"

namespace kalimor {

using analyser::Detector;
using analyser::SimulatedDevice;

AnalyserSession::AnalyserSession(QWidget* window) : m_window(window) {
    m_runner = std::make_unique<analyser::SweepRunner>([this](double hz) { tune(hz); },
                                                       [this](int n) { return read(n); });
}

AnalyserSession::~AnalyserSession() {
    m_runner->stop();
    giveBoardBack();
}

bool AnalyserSession::takeBoard() {
    if (m_holding) return true;
    if (const auto holder = dds::board().claim(dds::Controller::Analyser)) {
        ui::showMessage(m_window, QStringLiteral("Network Analyser"), ui::refusalText(*holder));
        return false;
    }
    m_holding = true;
    m_before = dds::board().held();
    return true;
}

void AnalyserSession::giveBoardBack() {
    if (!m_holding) return;
    m_holding = false;
    if (m_before.any) {
        try {
            dds::board().load(m_before.word, m_before.phase, m_before.powerDown,
                              dds::Controller::Analyser);
        } catch (const Error& e) {
            Q_EMIT status(QStringLiteral("The board's word before the run was not put back: ") +
                          e.description());
        }
    }
    dds::board().release(dds::Controller::Analyser);
}

bool AnalyserSession::prepare(const Detector& detector, SimulatedDevice::Kind kind) {
    if (m_runner->running() || !takeBoard()) return false;
    SimulatedDevice device;
    device.kind = kind;
    try {
        analyser_settings::saveSimulatedDevice(Globals::settings(), device.kind);
    } catch (const Error&) {
        // Saving the detector just before has told the store's trouble.
    }
    // The simulated board's detector is a textbook one of the chosen kind,
    // whatever the fields say: calibration then corrects fields set wrong.
    Detector truth;
    truth.kind = detector.kind;
    m_simulated = std::make_unique<analyser::SimulatedDetector>(device, truth);
    m_runner->setDetector(detector);
    m_runner->setScan(analyser::boardScan(Globals::RefClkHz, Globals::PhaseStep));
    return true;
}

void AnalyserSession::ensureSimulated(Detector::Kind kind) {
    if (m_simulated) return;
    SimulatedDevice through;
    through.kind = SimulatedDevice::Kind::Through;
    Detector truth;
    truth.kind = kind;
    m_simulated = std::make_unique<analyser::SimulatedDetector>(through, truth);
}

void AnalyserSession::tune(double hz) {
    dds::board().load(tuningWord(hz, Globals::RefClkHz), Globals::PhaseStep, 0,
                      dds::Controller::Analyser);
}

double AnalyserSession::read(int samples) {
    if (!dds::board().simulated()) return dds::board().readAnalog(0, samples);
    const dds::Held held = dds::board().held();
    return m_simulated->readSteps(held.word * Globals::RefClkHz / 4294967296.0, samples);
}

} // namespace kalimor
