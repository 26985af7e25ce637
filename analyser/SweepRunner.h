#pragma once

#include "analyser/Analysis.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>

namespace kalimor::analyser {

// Runs a sweep point by point on the event loop: tune the generator, let the
// device settle, read the detector, next. Stop acts before the next point;
// the window stays responsive between points.
class SweepRunner : public QObject {
    Q_OBJECT
public:
    struct Setup {
        std::vector<double> frequencies;
        int settleMs = 0;
        int samples = 4;
        bool continuous = false;
    };
    // `tune` sets the generator to a frequency; `read` returns the detector's
    // reading (ADC steps) averaged over `samples`. Both may raise
    // kalimor::Error, which ends the sweep.
    SweepRunner(std::function<void(double hz)> tune, std::function<double(int samples)> read,
                QObject* parent = nullptr);

    void setDetector(const Detector& detector) { m_detector = detector; }
    const Detector& detector() const { return m_detector; }
    void start(const Setup& setup);
    void stop();
    bool running() const { return m_running; }
    // The points measured so far in this pass.
    const Trace& trace() const { return m_trace; }
    // A whole sweep at once, without the event loop.
    Trace run(const Setup& setup);

Q_SIGNALS:
    void progress(int done, int total, double secondsLeft);
    void finished(const kalimor::analyser::Trace& trace);
    void failed(const QString& why);

private:
    Point measure(double hz);
    void tuneNext();
    void readNext();

    std::function<void(double)> m_tune;
    std::function<double(int)> m_read;
    Detector m_detector;
    Setup m_setup;
    Trace m_trace;
    bool m_running = false;
    bool m_stopping = false;
    QTimer m_settle;
    QElapsedTimer m_clock;
};

} // namespace kalimor::analyser
