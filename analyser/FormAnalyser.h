#pragma once

#include "analyser/Analysis.h"
#include "analyser/Crystal.h"
#include "analyser/SweepRunner.h"

#include <QMainWindow>

#include <memory>
#include <optional>

namespace kalimor {

class AnalyserPlot;
class AnalyserSession;
class CrystalPage;
class DetectorPage;
class ResponsePage;

// Tools > Network Analyser...: sweeps a device between two frequencies,
// reads a detector at each point and plots the response. On the simulated
// board the detector is simulated behind a choice of devices; on the USB
// serial bridge it is the analog input A0 (an AD8307 log detector, say).
// Its tabs (Response, Detector, Crystals, SWR) share one runner and the
// board; the window only lays them out beside the plot.
class FormAnalyser : public QMainWindow {
    Q_OBJECT
public:
    explicit FormAnalyser(QWidget* owner);
    ~FormAnalyser() override;

    ResponsePage& response() { return *m_response; }
    DetectorPage& detectorPage() { return *m_detector; }
    CrystalPage& crystals() { return *m_crystals; }

    // The Response tab's run, which the main window's tests drive.
    void cmdRun_Click();
    void cmdStop_Click();
    analyser::SweepRunner& runner();
    const analyser::Trace& shown() const;
    QString markerText() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    std::unique_ptr<AnalyserSession> m_session;
    AnalyserPlot* plotView;
    ResponsePage* m_response = nullptr;
    DetectorPage* m_detector;
    CrystalPage* m_crystals;
};

} // namespace kalimor
