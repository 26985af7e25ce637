#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace kalimor::follow {

// One measurement of the audio, made every hop over the window before it.
struct Reading {
    std::int64_t endSample = 0; // the first sample after the window
    double seconds = 0;         // the same, in seconds of audio
    double levelDb = -200;      // RMS over the window, dB below a full-scale square wave
    std::optional<double> hz;   // the tone, when the window holds one steady tone
};

// Measures the frequency of the one tone in mono audio from its zero
// crossings, both edges, each placed between its samples by a cubic through
// the four samples around it (a straight line between two misplaces an
// edge by up to a microsecond at 12 kHz, a quarter of a hertz over 10 ms).
// The frequency is the least-squares slope of the edges' times over the
// window, so each edge's own error counts for 1/N, not the first and last
// alone. A window whose edges stray from that line by more than a fifth of
// a half-period holds noise or several tones, and gives no frequency.
class ToneMeter {
public:
    static constexpr double WindowSeconds = 0.010;
    static constexpr double HopSeconds = 0.005; // 200 readings a second

    explicit ToneMeter(double sampleRate);
    double sampleRate() const { return m_rate; }
    // Samples in [-1, 1]; `out` gets each reading as its hop ends.
    void feed(std::span<const float> samples, const std::function<void(const Reading&)>& out);

private:
    void edge(std::int64_t n);
    Reading measure() const;

    double m_rate;
    int m_window, m_hop;
    float m_x[4] = {0, 0, 0, 0};   // the last four samples, m_x[3] the latest
    std::int64_t m_n = 0;          // samples seen
    std::deque<double> m_edges;    // crossing times in samples, oldest first
    std::vector<double> m_squares; // the window's squared samples, a ring
    std::size_t m_ring = 0;
    double m_sum = 0;
    int m_sinceExact = 0;
};

} // namespace kalimor::follow
