#include "SweepRunner.h"

#include "core/Error.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

namespace kalimor::analyser {

struct SweepRunner::Link {
    std::mutex mutex;
    SweepRunner* runner; // null once it is gone
};

SweepRunner::SweepRunner(std::function<void(double)> tune, std::function<double(int)> read,
                         QObject* parent)
    : QObject(parent), m_tune(std::move(tune)), m_read(std::move(read)),
      m_link(std::make_shared<Link>()) {
    m_link->runner = this;
    m_settle.setSingleShot(true);
    m_settle.setTimerType(Qt::PreciseTimer);
    connect(&m_settle, &QTimer::timeout, this, &SweepRunner::readNext);
}

SweepRunner::~SweepRunner() {
    // A scan's thread still under way finds no one to answer.
    std::lock_guard lock(m_link->mutex);
    m_link->runner = nullptr;
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

int SweepRunner::chunkPoints() const {
    return std::clamp(ScanChunkMs / std::max(1, m_setup.settleMs), 1, ScanChunk);
}

bool SweepRunner::scanChunk(Trace* trace) {
    const auto& f = m_setup.frequencies;
    const size_t from = trace->size(), to = std::min(f.size(), from + size_t(chunkPoints()));
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

void SweepRunner::startChunk() {
    const auto& f = m_setup.frequencies;
    const size_t from = m_trace->size(), to = std::min(f.size(), from + size_t(chunkPoints()));
    m_chunkOut = true;
    std::thread([scan = m_scan,
                 chunk = std::vector<double>(f.begin() + long(from), f.begin() + long(to)),
                 settleMs = m_setup.settleMs, samples = m_setup.samples, link = m_link,
                 run = m_run] {
        std::optional<std::vector<double>> readings;
        QString failure;
        try {
            readings = scan(chunk, settleMs, samples);
            if (readings && readings->size() != chunk.size()) readings.reset();
        } catch (const Error& e) {
            failure = e.description();
        }
        std::lock_guard lock(link->mutex);
        if (SweepRunner* runner = link->runner)
            QMetaObject::invokeMethod(
                runner,
                [runner, run, readings = std::move(readings), failure]() mutable {
                    runner->chunkDone(run, std::move(readings), failure);
                },
                Qt::QueuedConnection);
    }).detach();
}

void SweepRunner::chunkDone(std::uint64_t run, std::optional<std::vector<double>> readings,
                            const QString& failure) {
    if (run != m_run) return; // stopped, or a new run since
    m_chunkOut = false;
    if (!failure.isEmpty()) {
        m_running = false;
        return Q_EMIT failed(failure);
    }
    if (!readings) {
        m_scanning = false; // this board cannot: point by point
        return tuneNext();
    }
    const auto& f = m_setup.frequencies;
    for (size_t i = 0; i < readings->size(); ++i) {
        const size_t at = m_trace->size();
        m_trace->push_back(fromRaw(f[at], (*readings)[i]));
    }
    pointsDone();
}

void SweepRunner::start(const Setup& setup) {
    ++m_run;
    m_chunkOut = false;
    m_setup = setup;
    freshTrace();
    m_running = true;
    m_stopping = false;
    m_scanning = bool(m_scan);
    m_clock.start();
    tuneNext();
}

void SweepRunner::freshTrace() {
    if (m_trace.use_count() > 1)
        m_trace = std::make_shared<Trace>();
    else
        m_trace->clear();
    m_trace->reserve(m_setup.frequencies.size());
}

void SweepRunner::stop() {
    m_stopping = true;
    if (m_settle.isActive() || m_chunkOut) {
        // The chunk under way, if any, finishes on the board unseen.
        ++m_run;
        m_chunkOut = false;
        // Waiting for the device: the point under way is dropped, none follows.
        m_settle.stop();
        m_running = false;
        Q_EMIT finished(*m_trace);
    }
}

void SweepRunner::tuneNext() {
    if (m_stopping || m_setup.frequencies.empty()) {
        m_running = false;
        return Q_EMIT finished(*m_trace);
    }
    try {
        if (m_scanning) return startChunk();
        m_tune(m_setup.frequencies[m_trace->size()]);
    } catch (const Error& e) {
        m_running = false;
        return Q_EMIT failed(e.description());
    }
    m_settle.start(m_setup.settleMs);
}

void SweepRunner::readNext() {
    try {
        m_trace->push_back(measure(m_setup.frequencies[m_trace->size()]));
    } catch (const Error& e) {
        m_running = false;
        return Q_EMIT failed(e.description());
    }
    pointsDone();
}

void SweepRunner::pointsDone() {
    const int done = int(m_trace->size()), total = int(m_setup.frequencies.size());
    const double perPoint = m_clock.elapsed() / 1000.0 / done;
    Q_EMIT progress(done, total, perPoint * (total - done));
    if (done < total) {
        return tuneNext();
    }
    const bool again = m_setup.continuous && !m_stopping;
    m_running = again;
    Q_EMIT finished(*m_trace);
    if (again) {
        freshTrace();
        m_clock.start();
        m_scanning = bool(m_scan);
        tuneNext();
    }
}

} // namespace kalimor::analyser
