#include "ClockFit.h"

#include <algorithm>
#include <vector>

namespace kalimor::dds {

namespace {
double seconds(ClockFit::Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}
} // namespace

void ClockFit::add(Clock::time_point sent, std::uint32_t boardUs) {
    double unwrapped = boardUs;
    if (!m_samples.empty())
        unwrapped = m_samples.back().boardUs + double(std::int32_t(boardUs - m_samples.back().raw));
    m_samples.push_back({sent, unwrapped, boardUs});
    while (m_samples.size() > 2 && m_samples.back().host - m_samples.front().host > Window)
        m_samples.pop_front();
    refit();
}

void ClockFit::clear() {
    m_samples.clear();
    m_line.reset();
}

void ClockFit::refit() {
    // The least-delayed sample of each bin: a stall of the host or the
    // link delays some readings by tens of milliseconds, and least squares
    // over every sample let one tip the rate by thousands of ppm.
    struct Point {
        double x, y;
    };
    std::vector<Point> points;
    const Sample& origin = m_samples.front();
    const double binUs = std::chrono::duration<double, std::micro>(Bin).count();
    long bin = -1;
    for (const Sample& s : m_samples) {
        const Point p{seconds(s.host - origin.host) * 1e6, s.boardUs - origin.boardUs};
        const long at = long(p.x / binUs);
        if (at != bin) {
            points.push_back(p);
            bin = at;
        } else if (p.y - p.x < points.back().y - points.back().x) {
            points.back() = p;
        }
    }
    double mx = 0, my = 0;
    for (const Point& p : points) {
        mx += p.x;
        my += p.y;
    }
    mx /= double(points.size());
    my /= double(points.size());
    Line line{origin.host, mx, my + origin.boardUs, std::nullopt};
    // Over less than a second a millisecond of USB latency is a tenth of a
    // per cent; beyond 2 % it is no resonator but a stalled host.
    if (m_samples.size() >= 3 && m_samples.back().host - origin.host >= MinSpan) {
        double sxx = 0, sxy = 0;
        for (const Point& p : points) {
            sxx += (p.x - mx) * (p.x - mx);
            sxy += (p.x - mx) * (p.y - my);
        }
        line.ppm = std::clamp((sxy / sxx - 1) * 1e6, -MaxErrorPpm, MaxErrorPpm);
    }
    m_line = line;
}

double ClockFit::ratio() const {
    const auto ppm = errorPpm();
    return ppm ? 1 + *ppm / 1e6 : 1;
}

std::optional<double> ClockFit::errorPpm() const {
    return m_line ? m_line->ppm : std::nullopt;
}

std::optional<double> ClockFit::boardAt(Clock::time_point t) const {
    if (!m_line) return std::nullopt;
    // From the line's centre, so no one sample's delay sets it.
    return m_line->boardUs + ratio() * (seconds(t - m_line->origin) * 1e6 - m_line->hostUs);
}

} // namespace kalimor::dds
