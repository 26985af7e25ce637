#include "ToneMeter.h"

#include <algorithm>
#include <cmath>

namespace kalimor::follow {

ToneMeter::ToneMeter(double sampleRate)
    : m_rate(sampleRate), m_window(std::max(8, int(std::lround(sampleRate * WindowSeconds)))),
      m_hop(std::max(4, int(std::lround(sampleRate * HopSeconds)))),
      m_squares(std::size_t(m_window), 0.0) {}

void ToneMeter::feed(std::span<const float> samples,
                     const std::function<void(const Reading&)>& out) {
    for (float s : samples) {
        m_x[0] = m_x[1];
        m_x[1] = m_x[2];
        m_x[2] = m_x[3];
        m_x[3] = s;
        ++m_n;
        // Between m_x[1] and m_x[2], samples m_n - 3 and m_n - 2.
        if (m_n >= 4 && (m_x[1] < 0) != (m_x[2] < 0)) edge(m_n - 3);
        const double sq = double(s) * s;
        m_sum += sq - m_squares[m_ring];
        m_squares[m_ring] = sq;
        m_ring = (m_ring + 1) % m_squares.size();
        // The running sum drifts by rounding; summed afresh now and then.
        if (++m_sinceExact == 1 << 16) {
            m_sinceExact = 0;
            m_sum = 0;
            for (double v : m_squares) m_sum += v;
        }
        if (m_n % m_hop == 0) out(measure());
    }
}

void ToneMeter::edge(std::int64_t n) {
    // The cubic through (-1, x0), (0, x1), (1, x2), (2, x3), solved for its
    // root between 0 and 1 by Newton's method from the straight line's.
    const double x0 = m_x[0], x1 = m_x[1], x2 = m_x[2], x3 = m_x[3];
    const double c0 = x1;
    const double c1 = -x0 / 3 - x1 / 2 + x2 - x3 / 6;
    const double c2 = x0 / 2 - x1 + x2 / 2;
    const double c3 = -x0 / 6 + x1 / 2 - x2 / 2 + x3 / 6;
    double t = x1 / (x1 - x2);
    for (int i = 0; i < 4; ++i) {
        const double f = ((c3 * t + c2) * t + c1) * t + c0;
        const double d = (3 * c3 * t + 2 * c2) * t + c1;
        if (d == 0) break;
        const double next = t - f / d;
        if (!(next >= 0 && next <= 1)) break; // a cubic astray keeps the line's
        t = next;
    }
    m_edges.push_back(double(n) + t);
    while (!m_edges.empty() && m_edges.front() < double(m_n - m_window - 3)) m_edges.pop_front();
}

Reading ToneMeter::measure() const {
    Reading r;
    r.endSample = m_n;
    r.seconds = double(m_n) / m_rate;
    const double meanSquare = std::max(m_sum, 0.0) / double(m_window);
    r.levelDb = meanSquare > 1e-20 ? 10 * std::log10(meanSquare) : -200;
    // Edges lag the samples by two, so the window is that much earlier.
    const double from = double(m_n - m_window - 2);
    auto first = std::lower_bound(m_edges.begin(), m_edges.end(), from);
    const auto count = std::distance(first, m_edges.end());
    if (count < 4) return r;
    double sk = 0, st = 0, skk = 0, skt = 0;
    std::int64_t k = 0;
    for (auto it = first; it != m_edges.end(); ++it, ++k) {
        sk += double(k);
        st += *it;
        skk += double(k) * double(k);
        skt += double(k) * *it;
    }
    const double n = double(count);
    const double slope = (n * skt - sk * st) / (n * skk - sk * sk); // samples per half-period
    if (!(slope > 0)) return r;
    const double intercept = (st - slope * sk) / n;
    k = 0;
    for (auto it = first; it != m_edges.end(); ++it, ++k)
        if (std::abs(*it - (intercept + slope * double(k))) > slope / 5) return r;
    r.hz = m_rate / (2 * slope);
    return r;
}

} // namespace kalimor::follow
