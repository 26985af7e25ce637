#pragma once

#include "analyser/Analysis.h"
#include "analyser/SweepRunner.h"

#include <QWidget>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace kalimor {

class AnalyserPlot;
class AnalyserSession;
class DetectorPage;

// The network analyser's Response tab: the sweep's fields, Run and Stop, the
// through and the memories, the markers, presets and the exports. The trace
// it shows is shared with the plot, never copied.
class ResponsePage : public QWidget {
    Q_OBJECT
public:
    ResponsePage(AnalyserSession* session, DetectorPage* detector, AnalyserPlot* view,
                 QWidget* parent = nullptr);

    void cmdRun_Click();
    void cmdStop_Click();
    void cmdThrough_Click();
    void cmdMemory_Click();
    // Export and import; false with a message box when it fails.
    bool exportCsv(const QString& path);
    bool exportPng(const QString& path);
    bool importCsv(const QString& path);
    // S21 relative to the through, as a 2-port Touchstone file.
    bool exportTouchstone(const QString& path);
    // Sweep settings and the detector's calibration, under a name.
    void savePreset(const QString& name);
    bool recallPreset(const QString& name);

    // Takes the board and sets the runner up from the fields; false when it cannot run.
    bool prepareRun();
    analyser::SweepRunner::Setup setup() const;
    const analyser::Trace& shown() const { return *m_shown; }
    // The through recorded, empty when none.
    const analyser::Trace& through() const { return *m_through; }
    void setStatus(const QString& text);
    // The simulated device's choice shows on the simulated board only.
    void showDeviceChoice(bool simulated);

private:
    void plot(analyser::SharedTrace trace);
    void showMarkers();
    void listPresets();
    bool writeFile(const QString& path, const QByteArray& bytes);

    AnalyserSession* m_session;
    DetectorPage* m_detector;
    AnalyserPlot* plotView;
    analyser::SharedTrace m_measured, m_through, m_shown;
    int m_memories = 0;                  // memories kept so far, for their names
    analyser::SharedTrace m_memoryTrace; // the last memory kept or imported, which markers read

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
    QComboBox* cboPreset;
    QCheckBox* chkNormalise;
    QDoubleSpinBox* spnUserLevel;
    QPushButton* cmdRun;
    QPushButton* cmdStop;
    QProgressBar* progress;
    QLabel* lblLeft;
};

} // namespace kalimor
