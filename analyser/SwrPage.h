#pragma once

#include "analyser/Analysis.h"
#include "analyser/SketchSweep.h"
#include "analyser/SweepRunner.h"
#include "analyser/Swr.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QChart;
class QChartView;
class QComboBox;
class QDoubleSpinBox;
class QGridLayout;
class QLabel;
class QLineSeries;
class QPushButton;
class QScatterSeries;
class QSpinBox;

namespace kalimor {

// The network analyser's SWR tab: the detector on the bridge's reflected
// port, calibrated per point with an open (or short) and optionally a load,
// kept per range; the SWR curve with its 2:1 line, the resonance and the SWR
// 1.5, 2 and 3 bandwidths; band presets and a CSV. Its plot is a widget of
// its own, which the window shows in place of the response plot.
class SwrPage : public QWidget {
    Q_OBJECT
public:
    // What the window lends the tab: the board (taken for a run, false when
    // another holds it; given back after) and the detector's calibration.
    struct Hooks {
        std::function<bool()> takeBoard;
        std::function<void()> giveBoardBack;
        std::function<analyser::Detector()> detector;
    };
    SwrPage(Hooks hooks, QWidget* parent = nullptr);
    ~SwrPage() override;

    QWidget* plot() const { return m_plot; }
    // Measures the standard now on the bridge over the range and keeps it.
    void calibrate(analyser::swr::Standard standard);
    void cmdRun_Click();
    void cmdStop_Click();
    bool running() const { return m_runner->running() || m_sketch->awaited(); }
    // The current range as a band of the user's, with a button of its own.
    bool addUserBand(const QString& name);
    bool exportCsv(const QString& path);
    // Two diode detectors: their offsets with the output powered down, and
    // a known load's |Gamma| against what they read for it (the
    // linearisation). False, with the reason shown, when they cannot be read.
    bool readOffsets();
    bool addKnownLoad(double gamma);
    const analyser::swr::DetectorPair& detectorPair() const { return m_pair; }
    QString resultText() const;
    const analyser::swr::SwrTrace& shown() const { return m_trace; }

Q_SIGNALS:
    void pairChanged();
    // A run holds the board from start to end: the window's other runs wait.
    void busy(bool running);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void start(std::optional<analyser::swr::Standard> standard);
    // An Arduino antenna analyser on the port sweeps by itself; its answer
    // comes back to sketchDone, unless Stop dropped it.
    void startSketch(const QString& device, int baud);
    void sketchDone(const analyser::swr::SwrTrace& trace, const QString& failure);
    void finished(const analyser::Trace& levels);
    void showResult();
    void showCalibration();
    void addBandButton(const QString& name, double lowHz, double highHz, bool widen);
    analyser::swr::Dut simulatedDut() const;
    double read(int samples);
    bool pairMode() const;
    // Forward (A1) and reflected (A0) at the range's centre, the board taken.
    std::optional<std::pair<double, double>> readPair(bool powered);
    void done();
    // Saves the pair's offsets and linearisation, then shows them.
    void pairMeasured();

    Hooks m_hooks;
    std::unique_ptr<analyser::SweepRunner> m_runner;
    std::unique_ptr<analyser::swr::SimulatedBridge> m_bridge;
    analyser::swr::Calibration m_calibration;
    analyser::swr::DetectorPair m_pair;
    std::optional<analyser::swr::Standard> m_pending; // the standard a run measures
    analyser::swr::SwrTrace m_trace;
    QString m_why = QStringLiteral("No SWR shown: run a calibrated sweep"); // when none is shown
    int m_bandButtons = 0;
    size_t m_expected = 0; // points the run under way measures
    SketchSweep* m_sketch;

    QGridLayout* m_bands;
    QDoubleSpinBox* spnStart;
    QDoubleSpinBox* spnStop;
    QSpinBox* spnPoints;
    QSpinBox* spnSamples;
    QLabel* lblDut;
    QComboBox* cboDut;
    QWidget* m_antenna;
    QDoubleSpinBox* spnR;
    QDoubleSpinBox* spnL;
    QDoubleSpinBox* spnC;
    QLabel* lblCalibration;
    QComboBox* cboDetectors;
    QComboBox* cboKnown;
    QLabel* lblPair;
    QPushButton* cmdRun;
    QPushButton* cmdStop;
    QLabel* lblStatus;

    QWidget* m_plot;
    QChart* m_chart;
    QChartView* m_view;
    QLineSeries* m_series;
    QLineSeries* m_twoToOne;
    QScatterSeries* m_least;
    QLabel* lblResult;
};

} // namespace kalimor
