#pragma once

#include "analyser/Swr.h"

#include <QObject>

#include <cstdint>
#include <memory>

namespace kalimor {

// One sweep of an Arduino antenna analyser sketch (dds::SketchAnalyser) on a
// thread of its own: a sweep can take minutes, and the window stays
// responsive meanwhile. The sketch cannot be interrupted, so a dropped
// sweep still runs to its end, unseen; no other starts before it has.
class SketchSweep : public QObject {
    Q_OBJECT
public:
    explicit SketchSweep(QObject* parent = nullptr);
    ~SketchSweep() override;
    // False when the last sweep is still under way.
    bool start(const QString& device, int baud, double fromHz, double toHz, int steps);
    // The answer to the sweep under way is not told.
    void drop() { m_awaited = false; }
    bool awaited() const { return m_awaited; }

Q_SIGNALS:
    // |Gamma| from the sketch's own SWR, or why there is none.
    void done(const kalimor::analyser::swr::SwrTrace& trace, const QString& failure);

private:
    struct Link; // how a sweep's thread finds this, while there is one
    std::shared_ptr<Link> m_link;
    bool m_out = false;     // a sweep is under way, told or not
    bool m_awaited = false; // and its answer is to be told
};

} // namespace kalimor
