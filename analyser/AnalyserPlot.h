#pragma once

#include "analyser/Analysis.h"

#include <QWidget>

#include <vector>

class QChart;
class QChartView;
class QLabel;
class QLineSeries;
class QScatterSeries;

namespace kalimor {

// The network analyser's plot: the measured trace and the memories on a
// chart that zooms by dragging, the cursor's readout under it and the
// markers' text below that. It shows what it is given; the window decides
// what that is.
class AnalyserPlot : public QWidget {
    Q_OBJECT
public:
    explicit AnalyserPlot(QWidget* parent = nullptr);

    // The trace on fresh axes: logarithmic frequencies or not, levels in dB
    // against a through or in dBm. The plot keeps the trace (for the zoom)
    // without copying it.
    void showTrace(analyser::SharedTrace trace, bool logarithmic, bool relative);
    // The markers `shape` needs (found from the trace with Shape::Auto), the
    // width at `userLevelDb` below a band-pass's peak, a low- or high-pass's
    // level at `userHz`; with a `memory`, its level at each marker and the
    // difference.
    void showMarkers(const analyser::Trace& trace, analyser::Shape shape, double userLevelDb,
                     double userHz, const analyser::Trace* memory);
    void addMemory(analyser::SharedTrace trace, const QString& name);
    void resetZoom();
    bool savePng(const QString& path) const;
    QString markerText() const;

private:
    void rescale(bool logarithmic, bool relative);
    // Hands each series what the plot's width shows of its trace (see
    // reduceForPlot): a million points stroked one by one took seconds.
    void reduce();
    void reduceSoon();
    // Widens the axes to take in `trace` (an imported memory before any run).
    void takeIn(const analyser::Trace& trace);
    bool m_empty = true; // no measured trace shown yet
    bool m_logarithmic = false;
    bool m_reducing = false;
    bool m_reduceDue = false;
    analyser::SharedTrace m_trace;                     // every point, for the zoom
    std::vector<analyser::SharedTrace> m_memoryTraces; // beside m_memories

    QChart* chart;
    QChartView* view;
    QLineSeries* series;
    QScatterSeries* markerSeries;
    std::vector<QLineSeries*> m_memories;
    QLabel* lblCursor;
    QLabel* lblMarkers;
};

} // namespace kalimor
