#include "SweepRunner.h"

#include "core/Error.h"

#include <chrono>
#include <thread>

namespace kalimor::analyser {

SweepRunner::SweepRunner(std::function<void(double)> tune, std::function<double(int)> read,
                         QObject* parent)
    : QObject(parent), m_tune(std::move(tune)), m_read(std::move(read)) {
    m_settle.setSingleShot(true);
    m_settle.setTimerType(Qt::PreciseTimer);
    connect(&m_settle, &QTimer::timeout, this, &SweepRunner::readNext);
}

Point SweepRunner::measure(double hz) {
    Point p;
    p.hz = hz;
    p.raw = m_read(m_setup.samples);
    p.level = m_detector.dbm(Detector::adcToMv(p.raw));
    return p;
}

Trace SweepRunner::run(const Setup& setup) {
    m_setup = setup;
    Trace trace;
    trace.reserve(setup.frequencies.size());
    for (double hz : setup.frequencies) {
        m_tune(hz);
        if (setup.settleMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(setup.settleMs));
        trace.push_back(measure(hz));
    }
    return trace;
}

void SweepRunner::start(const Setup& setup) {
    m_setup = setup;
    m_trace.clear();
    m_trace.reserve(setup.frequencies.size());
    m_running = true;
    m_stopping = false;
    m_clock.start();
    tuneNext();
}

void SweepRunner::stop() {
    m_stopping = true;
    if (m_settle.isActive()) {
        // Waiting for the device: the point under way is dropped, none follows.
        m_settle.stop();
        m_running = false;
        Q_EMIT finished(m_trace);
    }
}

void SweepRunner::tuneNext() {
    if (m_stopping || m_setup.frequencies.empty()) {
        m_running = false;
        return Q_EMIT finished(m_trace);
    }
    try {
        m_tune(m_setup.frequencies[m_trace.size()]);
    } catch (const Error& e) {
        m_running = false;
        return Q_EMIT failed(e.description());
    }
    m_settle.start(m_setup.settleMs);
}

void SweepRunner::readNext() {
    try {
        m_trace.push_back(measure(m_setup.frequencies[m_trace.size()]));
    } catch (const Error& e) {
        m_running = false;
        return Q_EMIT failed(e.description());
    }
    const int done = int(m_trace.size()), total = int(m_setup.frequencies.size());
    const double perPoint = m_clock.elapsed() / 1000.0 / done;
    Q_EMIT progress(done, total, perPoint * (total - done));
    if (done < total) return tuneNext();
    const bool again = m_setup.continuous && !m_stopping;
    m_running = again;
    Q_EMIT finished(m_trace);
    if (again) {
        m_trace.clear();
        m_clock.start();
        tuneNext();
    }
}

} // namespace kalimor::analyser
