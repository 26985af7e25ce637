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

Point SweepRunner::fromRaw(double hz, double raw) const {
    Point p;
    p.hz = hz;
    p.raw = raw;
    p.level = m_detector.dbm(Detector::adcToMv(raw));
    return p;
}

Point SweepRunner::measure(double hz) {
    return fromRaw(hz, m_read(m_setup.samples));
}

bool SweepRunner::scanChunk(Trace* trace) {
    const auto& f = m_setup.frequencies;
    const size_t from = trace->size(), to = std::min(f.size(), from + ScanChunk);
    const std::vector<double> chunk(f.begin() + long(from), f.begin() + long(to));
    const auto readings = m_scan(chunk, m_setup.settleMs, m_setup.samples);
    if (!readings || readings->size() != chunk.size()) return false;
    for (size_t i = 0; i < chunk.size(); ++i) trace->push_back(fromRaw(chunk[i], (*readings)[i]));
    return true;
}

Trace SweepRunner::run(const Setup& setup) {
    m_setup = setup;
    Trace trace;
    trace.reserve(setup.frequencies.size());
    if (m_scan && !setup.continuous)
        while (trace.size() < setup.frequencies.size())
            if (!scanChunk(&trace)) break;
    for (size_t i = trace.size(); i < setup.frequencies.size(); ++i) {
        const double hz = setup.frequencies[i];
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
    m_scanning = bool(m_scan);
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
        if (m_scanning) {
            // A chunk on the board, then the event loop's turn (and Stop's).
            if (scanChunk(&m_trace)) return pointsDone();
            m_scanning = false; // this board cannot: point by point
        }
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
    pointsDone();
}

void SweepRunner::pointsDone() {
    const int done = int(m_trace.size()), total = int(m_setup.frequencies.size());
    const double perPoint = m_clock.elapsed() / 1000.0 / done;
    Q_EMIT progress(done, total, perPoint * (total - done));
    if (done < total) {
        if (m_scanning) {
            QTimer::singleShot(0, this, &SweepRunner::tuneNext);
            return;
        }
        return tuneNext();
    }
    const bool again = m_setup.continuous && !m_stopping;
    m_running = again;
    Q_EMIT finished(m_trace);
    if (again) {
        m_trace.clear();
        m_clock.start();
        m_scanning = bool(m_scan);
        tuneNext();
    }
}

} // namespace kalimor::analyser
