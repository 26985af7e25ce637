#include "SketchSweep.h"

#include "core/Error.h"
#include "dds/SketchAnalyser.h"

#include <mutex>
#include <thread>
#include <utility>

namespace kalimor {

struct SketchSweep::Link {
    std::mutex mutex;
    SketchSweep* sweep; // null once it is gone
};

SketchSweep::SketchSweep(QObject* parent) : QObject(parent), m_link(std::make_shared<Link>()) {
    m_link->sweep = this;
}

SketchSweep::~SketchSweep() {
    std::lock_guard lock(m_link->mutex);
    m_link->sweep = nullptr;
}

bool SketchSweep::start(const QString& device, int baud, double fromHz, double toHz, int steps) {
    if (m_out) return false;
    m_out = m_awaited = true;
    std::thread([device, baud, fromHz, toHz, steps, link = m_link] {
        analyser::swr::SwrTrace trace;
        QString failure;
        try {
            dds::SketchAnalyser sketch;
            if (!sketch.open(device, baud, &failure))
                throw Error(err::PortAccess, QStringLiteral("Antenna analyser"), failure);
            // Its own SWR, against its own calibration.
            for (const dds::SketchPoint& p : sketch.sweep(fromHz, toHz, steps))
                trace.push_back({p.hz, (p.swr - 1) / (p.swr + 1)});
            if (trace.empty()) failure = QStringLiteral("the antenna analyser sent no points");
        } catch (const Error& e) {
            failure = e.description();
        }
        std::lock_guard lock(link->mutex);
        if (SketchSweep* sweep = link->sweep)
            QMetaObject::invokeMethod(
                sweep,
                [sweep, trace, failure] {
                    sweep->m_out = false;
                    if (!std::exchange(sweep->m_awaited, false)) return;
                    Q_EMIT sweep->done(trace, failure);
                },
                Qt::QueuedConnection);
    }).detach();
    return true;
}

} // namespace kalimor
