#pragma once

#include "analyser/Analysis.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace kalimor::analyser {

// Runs a sweep point by point on the event loop: tune the generator, let the
// device settle, read the detector, next. Stop acts before the next point;
// the window stays responsive between points. A board that scans by itself
// is handed a chunk at a time from a thread of the runner's own, so that the
// window stays responsive while it scans: Stop ends the run at once (the
// chunk under way is dropped) and each chunk's points are shown as they come.
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

    // Where the board can scan by itself (the bridge): a chunk of points at
    // once, `frequencies` equally spaced, each settled and read there, the
    // readings in ADC steps; nothing where it cannot, and the runner goes
    // point by point.
    using ScanFn = std::function<std::optional<std::vector<double>>(
        const std::vector<double>& frequencies, int settleMs, int samples)>;
    void setScan(ScanFn scan) { m_scan = std::move(scan); }
    static constexpr int ScanChunk = 200; // points a scan takes at once, at most
    // A chunk's settle times add up to no more than this, so that the board
    // is soon free again after Stop.
    static constexpr int ScanChunkMs = 1000;
    ~SweepRunner() override;

    void setDetector(const Detector& detector) { m_detector = detector; }
    const Detector& detector() const { return m_detector; }
    void start(const Setup& setup);
    void stop();
    bool running() const { return m_running; }
    // The points measured so far in this pass.
    const Trace& trace() const { return *m_trace; }
    // The pass just finished, to keep: the next pass measures into a trace
    // of its own.
    SharedTrace shared() const { return m_trace; }
    // A whole sweep at once, without the event loop.
    Trace run(const Setup& setup);

Q_SIGNALS:
    void progress(int done, int total, double secondsLeft);
    void finished(const kalimor::analyser::Trace& trace);
    void failed(const QString& why);

private:
    Point measure(double hz);
    Point fromRaw(double hz, double raw) const;
    // The next chunk by the board's scan; false where it cannot scan.
    bool scanChunk(Trace* trace);
    int chunkPoints() const;
    // The next chunk on the scan's thread; chunkDone takes its answer back.
    void startChunk();
    void chunkDone(std::uint64_t run, std::optional<std::vector<double>> readings,
                   const QString& failure);
    void tuneNext();
    void readNext();
    void pointsDone();
    // An empty trace for the next pass, never one handed out by shared().
    void freshTrace();

    std::function<void(double)> m_tune;
    std::function<double(int)> m_read;
    ScanFn m_scan;
    bool m_scanning = false; // this pass goes by scans
    Detector m_detector;
    Setup m_setup;
    std::shared_ptr<Trace> m_trace = std::make_shared<Trace>();
    bool m_running = false;
    bool m_stopping = false;
    QTimer m_settle;
    QElapsedTimer m_clock;
    std::uint64_t m_run = 0; // a chunk's answer from an earlier run is dropped
    bool m_chunkOut = false;
    struct Link; // how a scan's thread finds the runner, while there is one
    std::shared_ptr<Link> m_link;
};

} // namespace kalimor::analyser
