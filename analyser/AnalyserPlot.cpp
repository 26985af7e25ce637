#include "AnalyserPlot.h"

#include <QChart>
#include <QChartView>
#include <QLabel>
#include <QLineSeries>
#include <QLogValueAxis>
#include <QMouseEvent>
#include <QScatterSeries>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

namespace kalimor {

namespace {

// The plot's cursor: where the mouse is, in MHz and dB.
class CursorView : public QChartView {
public:
    CursorView(QChart* chart, QLabel* readout) : QChartView(chart), m_readout(readout) {
        setMouseTracking(true);
        setRubberBand(QChartView::RectangleRubberBand); // zoom by dragging
    }

protected:
    void mouseMoveEvent(QMouseEvent* event) override {
        if (!chart()->series().isEmpty()) {
            const QPointF v = chart()->mapToValue(event->position(), chart()->series().first());
            m_readout->setText(QStringLiteral("Cursor: %1 MHz, %2 dB")
                                   .arg(v.x(), 0, 'f', 6)
                                   .arg(v.y(), 0, 'f', 2));
        }
        QChartView::mouseMoveEvent(event);
    }

private:
    QLabel* m_readout;
};

QString megahertz(double hz) {
    return QStringLiteral("%1 MHz").arg(hz / 1e6, 0, 'f', 6);
}

QString hertz(double hz) {
    return hz >= 1e6   ? QStringLiteral("%1 MHz").arg(hz / 1e6, 0, 'g', 6)
           : hz >= 1e3 ? QStringLiteral("%1 kHz").arg(hz / 1e3, 0, 'g', 6)
                       : QStringLiteral("%1 Hz").arg(hz, 0, 'g', 6);
}

} // namespace

AnalyserPlot::AnalyserPlot(QWidget* parent) : QWidget(parent) {
    lblMarkers = new QLabel(this);
    lblMarkers->setObjectName(QStringLiteral("lblMarkers"));
    lblMarkers->setWordWrap(true);
    lblMarkers->setMinimumWidth(260);
    lblCursor = new QLabel(QStringLiteral("Cursor:"), this);
    lblCursor->setObjectName(QStringLiteral("lblCursor"));
    chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignBottom);
    series = new QLineSeries;
    series->setName(QStringLiteral("Measured"));
    markerSeries = new QScatterSeries;
    markerSeries->setName(QStringLiteral("Markers"));
    markerSeries->setMarkerSize(8);
    chart->addSeries(series);
    chart->addSeries(markerSeries);
    view = new CursorView(chart, lblCursor);
    view->setParent(this);
    view->setObjectName(QStringLiteral("view"));
    view->setMinimumSize(560, 380);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(view, 1);
    column->addWidget(lblCursor);
    column->addWidget(lblMarkers);
    rescale(false, false);
    connect(chart, &QChart::plotAreaChanged, this, &AnalyserPlot::reduceSoon);
}

void AnalyserPlot::reduceSoon() {
    // Once for all the axes' changes of one turn of the event loop.
    if (m_reducing || m_reduceDue) return;
    m_reduceDue = true;
    QTimer::singleShot(0, this, [this] {
        if (m_reduceDue) reduce();
    });
}

void AnalyserPlot::reduce() {
    m_reduceDue = false;
    m_reducing = true;
    QAbstractAxis* x = chart->axes(Qt::Horizontal).first();
    const auto* linear = qobject_cast<QValueAxis*>(x);
    const auto* log = qobject_cast<QLogValueAxis*>(x);
    const double fromHz = (linear ? linear->min() : log->min()) * 1e6,
                 toHz = (linear ? linear->max() : log->max()) * 1e6;
    // Device pixels across the plot; before it is laid out, the view's width.
    const qreal width = chart->plotArea().width() > 1 ? chart->plotArea().width() : view->width();
    const int columns = std::max(200, int(std::ceil(width * devicePixelRatioF())));
    const auto points = [&](const analyser::SharedTrace& trace) {
        if (!trace) return QList<QPointF>();
        const analyser::Trace shown =
            analyser::reduceForPlot(*trace, fromHz, toHz, columns, m_logarithmic);
        QList<QPointF> list;
        list.reserve(qsizetype(shown.size()));
        for (const auto& p : shown) list.append({p.hz / 1e6, p.level});
        return list;
    };
    series->replace(points(m_trace));
    for (size_t i = 0; i < m_memories.size(); ++i)
        m_memories[i]->replace(points(m_memoryTraces[i]));
    m_reducing = false;
}

void AnalyserPlot::rescale(bool logarithmic, bool relative) {
    for (QAbstractAxis* axis : chart->axes()) {
        chart->removeAxis(axis);
        delete axis;
    }
    QAbstractAxis* x;
    if (logarithmic) {
        auto* log = new QLogValueAxis;
        log->setLabelFormat(QStringLiteral("%g"));
        log->setMinorTickCount(8);
        x = log;
    } else {
        auto* lin = new QValueAxis;
        lin->setLabelFormat(QStringLiteral("%.4f"));
        x = lin;
    }
    x->setTitleText(QStringLiteral("Frequency (MHz)"));
    auto* y = new QValueAxis;
    y->setTitleText(relative ? QStringLiteral("Level (dB)") : QStringLiteral("Level (dBm)"));
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    m_logarithmic = logarithmic;
    // A zoom shows more of each trace's points.
    if (logarithmic)
        connect(static_cast<QLogValueAxis*>(x), &QLogValueAxis::rangeChanged, this,
                &AnalyserPlot::reduceSoon);
    else
        connect(static_cast<QValueAxis*>(x), &QValueAxis::rangeChanged, this,
                &AnalyserPlot::reduceSoon);
    for (QAbstractSeries* s : chart->series()) {
        s->attachAxis(x);
        s->attachAxis(y);
    }
}

void AnalyserPlot::showTrace(analyser::SharedTrace shared, bool logarithmic, bool relative) {
    m_reducing = true; // the axes' ranges change below: one reduction after
    rescale(logarithmic, relative);
    m_trace = shared ? std::move(shared) : std::make_shared<const analyser::Trace>();
    const analyser::Trace& trace = *m_trace;
    double low = 0, high = -200;
    for (const auto& p : trace) {
        low = std::min(low, p.level);
        high = std::max(high, p.level);
    }
    if (!trace.empty()) {
        m_empty = false;
        chart->axes(Qt::Horizontal)
            .first()
            ->setRange(trace.front().hz / 1e6, trace.back().hz / 1e6);
        auto* y = static_cast<QValueAxis*>(chart->axes(Qt::Vertical).first());
        y->setRange(std::floor(low / 10) * 10, std::ceil(high / 10) * 10 + 5);
        y->applyNiceNumbers();
    }
    reduce();
}

void AnalyserPlot::showMarkers(const analyser::Trace& trace, analyser::Shape shape,
                               double userLevelDb, double userHz, const analyser::Trace* memory) {
    using analyser::Shape;
    markerSeries->clear();
    if (trace.empty()) return lblMarkers->clear();
    const analyser::ShapeMarkers m = analyser::shapeMarkers(trace, shape);
    // Each marker, and the memory beside it where there is one.
    auto against = [&](double hz, double level) {
        const auto other = memory ? analyser::levelAt(*memory, hz) : std::nullopt;
        if (!other) return QString();
        return QStringLiteral(" (memory %1 dB, difference %2 dB)")
            .arg(*other, 0, 'f', 2)
            .arg(level - *other, 0, 'f', 2);
    };
    auto mark = [&](double hz, double level) { markerSeries->append(hz / 1e6, level); };
    mark(m.peak.hz, m.peak.level);
    QString text = QStringLiteral("%1. Peak: %2, %3 dB%4")
                       .arg(analyser::shapeName(m.shape), megahertz(m.peak.hz))
                       .arg(m.peak.level, 0, 'f', 2)
                       .arg(against(m.peak.hz, m.peak.level));
    switch (m.shape) {
    case Shape::BandPass:
    case Shape::Auto:
        if (m.lowHz && m.highHz) {
            mark(*m.lowHz, m.peak.level - 3);
            mark(*m.highHz, m.peak.level - 3);
            text += QStringLiteral("\n-3 dB: bandwidth %1, centre %2, Q %3")
                        .arg(hertz(m.bandwidthHz()), megahertz(m.centreHz()))
                        .arg(m.q(), 0, 'f', 1);
        } else {
            text += QStringLiteral("\n-3 dB: the trace does not fall 3 dB on both sides");
        }
        if (const double width = analyser::widthAt(trace, -userLevelDb); width > 0) {
            text +=
                QStringLiteral("\n%1 dB: width %2").arg(userLevelDb, 0, 'g', 4).arg(hertz(width));
            if (const double six = analyser::widthAt(trace, 6); six > 0)
                text +=
                    QStringLiteral(", shape factor %1 (against -6 dB)").arg(width / six, 0, 'f', 2);
        }
        break;
    case Shape::LowPass:
    case Shape::HighPass:
        if (m.cornerHz) {
            mark(*m.cornerHz, m.peak.level - 3);
            text += QStringLiteral("\n-3 dB: %1%2")
                        .arg(megahertz(*m.cornerHz))
                        .arg(against(*m.cornerHz, m.peak.level - 3));
        } else {
            text += QStringLiteral("\n-3 dB: the trace does not fall 3 dB");
        }
        if (const auto level = analyser::levelAt(trace, userHz)) {
            mark(userHz, *level);
            text += QStringLiteral("\nAt %1: %2 dB%3")
                        .arg(megahertz(userHz))
                        .arg(*level, 0, 'f', 2)
                        .arg(against(userHz, *level));
        }
        break;
    case Shape::Notch:
        mark(m.notch.hz, m.notch.level);
        text += QStringLiteral("\nNotch: %1, depth %2 dB%3")
                    .arg(megahertz(m.notch.hz))
                    .arg(m.depthDb, 0, 'f', 2)
                    .arg(against(m.notch.hz, m.notch.level));
        if (m.lowHz && m.highHz)
            text += QStringLiteral(", -3 dB width %1").arg(hertz(m.bandwidthHz()));
        break;
    case Shape::Flat:
        break;
    }
    lblMarkers->setText(text);
}

void AnalyserPlot::addMemory(analyser::SharedTrace trace, const QString& name) {
    if (!trace) return;
    auto* memory = new QLineSeries;
    memory->setName(name);
    chart->addSeries(memory);
    for (QAbstractAxis* axis : chart->axes()) memory->attachAxis(axis);
    m_memories.push_back(memory);
    m_memoryTraces.push_back(trace);
    m_reducing = true;
    takeIn(*trace);
    reduce();
}

void AnalyserPlot::takeIn(const analyser::Trace& trace) {
    if (trace.empty()) return;
    QAbstractAxis* x = chart->axes(Qt::Horizontal).first();
    auto* y = static_cast<QValueAxis*>(chart->axes(Qt::Vertical).first());
    auto* linear = qobject_cast<QValueAxis*>(x);
    auto* log = qobject_cast<QLogValueAxis*>(x);
    const double xMin = linear ? linear->min() : log->min(),
                 xMax = linear ? linear->max() : log->max();
    const auto [lowest, highest] = std::minmax_element(
        trace.begin(), trace.end(), [](const auto& a, const auto& b) { return a.level < b.level; });
    double fromHz = trace.front().hz / 1e6, toHz = trace.back().hz / 1e6;
    double fromDb = std::floor(lowest->level / 10) * 10,
           toDb = std::ceil(highest->level / 10) * 10 + 5;
    if (!m_empty) {
        fromHz = std::min(fromHz, xMin);
        toHz = std::max(toHz, xMax);
        fromDb = std::min(fromDb, y->min());
        toDb = std::max(toDb, y->max());
    }
    m_empty = false;
    if (toHz > fromHz) x->setRange(fromHz, toHz);
    y->setRange(fromDb, toDb);
    y->applyNiceNumbers();
}

void AnalyserPlot::resetZoom() {
    chart->zoomReset();
}

bool AnalyserPlot::savePng(const QString& path) const {
    return view->grab().save(path, "PNG");
}

QString AnalyserPlot::markerText() const {
    return lblMarkers->text();
}

} // namespace kalimor
