#pragma once

#include "analyser/AnalyserPlot.h"
#include "analyser/Analysis.h"
#include "analyser/Crystal.h"
#include "analyser/SweepRunner.h"
#include "dds/Board.h"

#include <QMainWindow>

#include <memory>
#include <vector>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTableWidget;

namespace kalimor {

// Tools > Network Analyser...: sweeps a device between two frequencies,
// reads a detector at each point and plots the response. On the simulated
// board the detector is simulated behind a choice of devices; on the USB
// serial bridge it is the analog input A0 (an AD8307 log detector, say).
class FormAnalyser : public QMainWindow {
    Q_OBJECT
public:
    explicit FormAnalyser(QWidget* owner);
    ~FormAnalyser() override;

    void cmdRun_Click();
    void cmdStop_Click();
    void cmdThrough_Click();
    void cmdMemory_Click();
    // Two-point level calibration: what the detector reads with a known
    // level applied (A, then B); Calibrate fits the detector to both.
    void readLevel(int which);
    bool calibrateLevels();
    // Export and import; false with a message box when it fails.
    bool exportCsv(const QString& path);
    bool exportPng(const QString& path);
    bool importCsv(const QString& path);
    // S21 relative to the through, as a 2-port Touchstone file.
    bool exportTouchstone(const QString& path);
    // Sweep settings and the detector's calibration, under a name.
    void savePreset(const QString& name);
    bool recallPreset(const QString& name);
    // Measures the crystal in the fixture and adds it to the table.
    std::optional<analyser::Motional> cmdNextCrystal_Click();
    bool exportCrystals(const QString& path);

    analyser::SweepRunner& runner() { return *m_runner; }
    const analyser::Trace& shown() const { return m_shown; }
    QString markerText() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // The board is the analyser's from Run to the end of the run: taken
    // (false, with a message naming the holder, when another has it), then
    // given back with the word it held before, so the main window's
    // frequency is again what the board holds.
    bool takeBoard();
    // Takes the board and sets the runner up from the fields (the detector,
    // the simulated device, the board's scan); false when it cannot run.
    bool prepareRun();
    void giveBoardBack();
    analyser::Detector detector() const;
    analyser::Detector simulatedTruth() const;
    analyser::SweepRunner::Setup setup() const;
    void tune(double hz);
    double read(int samples);
    void plot(const analyser::Trace& trace);
    void showMarkers();
    void saveDetector();
    void loadDetector();
    void listPresets();
    QWidget* crystalPage();
    void groupCrystals();
    bool writeFile(const QString& path, const QByteArray& bytes);

    std::unique_ptr<analyser::SweepRunner> m_runner;
    std::unique_ptr<analyser::SimulatedDetector> m_simulated;
    analyser::Trace m_measured, m_through, m_shown;
    int m_memories = 0;            // memories kept so far, for their names
    analyser::Trace m_memoryTrace; // the last memory kept or imported, which markers read
    bool m_holding = false;
    dds::Held m_before; // what the board held when the analyser took it

    QComboBox* cboRange;
    QDoubleSpinBox* spnA;
    QDoubleSpinBox* spnB;
    QSpinBox* spnPoints;
    QCheckBox* chkLog;
    QSpinBox* spnSettle;
    QSpinBox* spnSamples;
    QCheckBox* chkContinuous;
    QComboBox* cboDevice;
    QLabel* lblDevice;
    QComboBox* cboShape;
    QDoubleSpinBox* spnUserHz;
    QDoubleSpinBox* spnSource;
    QComboBox* cboPreset;
    QComboBox* cboR0;
    QDoubleSpinBox* spnNear;
    QSpinBox* spnTolerance;
    QTableWidget* tblCrystals;
    QComboBox* cboDetector;
    QDoubleSpinBox* spnSlope;
    QDoubleSpinBox* spnIntercept;
    QCheckBox* chkNormalise;
    QDoubleSpinBox* spnUserLevel;
    QDoubleSpinBox* spnLevel[2];
    double m_levelMv[2] = {-1, -1};
    QPushButton* cmdRun;
    QPushButton* cmdStop;
    QProgressBar* progress;
    QLabel* lblLeft;
    AnalyserPlot* plotView;
};

} // namespace kalimor
