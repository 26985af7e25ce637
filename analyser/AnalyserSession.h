#pragma once

#include "analyser/Analysis.h"
#include "analyser/SweepRunner.h"
#include "dds/Board.h"

#include <QObject>

#include <memory>

class QWidget;

namespace kalimor {

// What the network analyser's tabs share: the sweep runner, the board while
// a run holds it, and the simulated detector behind the chosen device.
class AnalyserSession : public QObject {
    Q_OBJECT
public:
    // `window` is where messages about the board appear.
    explicit AnalyserSession(QWidget* window);
    ~AnalyserSession() override;

    analyser::SweepRunner& runner() { return *m_runner; }
    // The board is the analyser's from Run to the end of the run: taken
    // (false, with a message naming the holder, when another has it), then
    // given back with the word it held before, so the main window's
    // frequency is again what the board holds.
    bool takeBoard();
    void giveBoardBack();
    bool holding() const { return m_holding; }
    // Takes the board and sets the runner up for `detector` (the simulated
    // board reads `device` through a textbook detector of the same kind);
    // false when it cannot run.
    bool prepare(const analyser::Detector& detector, analyser::SimulatedDevice::Kind device);
    // For a reading outside a run: a through on the simulated board, where
    // no run has chosen a device yet.
    void ensureSimulated(analyser::Detector::Kind kind);
    void tune(double hz);
    // The detector's reading in ADC steps: the simulated one on the simulated
    // board, the bridge's A0 on any other port.
    double read(int samples);

Q_SIGNALS:
    // A line for the window's status.
    void status(const QString& text);

private:
    QWidget* m_window;
    std::unique_ptr<analyser::SweepRunner> m_runner;
    std::unique_ptr<analyser::SimulatedDetector> m_simulated;
    bool m_holding = false;
    dds::Held m_before; // what the board held when the analyser took it
};

} // namespace kalimor
