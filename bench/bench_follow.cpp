// The audio follower's figures: readings a second, the per-symbol error of
// each mode's tones as the follower would load them (the median of its
// readings over each symbol's middle half), how soon after an onset the
// first reading holds the tone, and the CPU time it takes per second of
// audio, loads to the simulated board included.
#include "core/Numbers.h"
#include "dds/Board.h"
#include "dds/Port.h"
#include "follow/Follower.h"
#include "follow/ToneMeter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

using namespace kalimor;
using namespace kalimor::follow;

namespace {

struct Mode {
    const char* name;
    double symbolSeconds, spacing;
    int tones, symbols;
};

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

} // namespace

int main() {
    const Mode modes[] = {{"FT8", 0.16, 6.25, 8, 79},
                          {"FT4", 0.048, 12000.0 / 576, 4, 103},
                          {"WSPR", 8192.0 / 12000, 12000.0 / 8192, 4, 162},
                          {"FST4W-120", 8200.0 / 12000, 12000.0 / 8200, 4, 160}};
    std::mt19937 random(1);
    dds::SimulatedBoard sim;
    dds::board().setPort(&sim);
    for (const double rate : {12000.0, 48000.0}) {
        for (const Mode& m : modes) {
            // Continuous-phase FSK of random symbols, 16-bit, at -6 dBFS.
            std::vector<int> symbols(std::size_t(m.symbols));
            for (int& s : symbols) s = int(random() % unsigned(m.tones));
            const double start = 0.2;
            const std::size_t total =
                std::size_t((start + m.symbolSeconds * m.symbols + 0.2) * rate);
            std::vector<float> audio(total, 0.0f);
            double phase = 0;
            for (std::size_t n = std::size_t(start * rate); n < total; ++n) {
                const double t = double(n) / rate - start;
                const int k = int(t / m.symbolSeconds);
                if (k >= m.symbols) break;
                phase += 2 * M_PI * (1500 + symbols[std::size_t(k)] * m.spacing) / rate;
                audio[n] = float(std::round(16000 * std::sin(phase)) / 32768);
            }
            FollowSetup setup;
            setup.keying = Keying::Vox;
            setup.dialHz = 14'074'000;
            Follower follower(setup, 100e6);
            follower.start();
            ToneMeter meter(rate);
            std::vector<Reading> readings;
            const double cpu0 = cpuSeconds();
            for (std::size_t at = 0; at < audio.size(); at += std::size_t(rate / 200)) {
                const std::size_t n = std::min(std::size_t(rate / 200), audio.size() - at);
                meter.feed(std::span<const float>(audio.data() + at, n), [&](const Reading& r) {
                    follower.reading(r);
                    readings.push_back(r);
                });
            }
            const double cpu = cpuSeconds() - cpu0;
            const double seconds = double(audio.size()) / rate;
            // The reading that holds the middle half of a symbol ends within
            // it; the first after the onset that is within 1 Hz of the tone.
            double worst = 0, sum = 0;
            for (int k = 0; k < m.symbols; ++k) {
                const double s0 = start + k * m.symbolSeconds;
                std::vector<double> v;
                for (const Reading& r : readings)
                    if (r.seconds > s0 + m.symbolSeconds / 4 &&
                        r.seconds <= s0 + 3 * m.symbolSeconds / 4 && r.hz)
                        v.push_back(*r.hz);
                if (v.empty()) {
                    worst = INFINITY;
                    continue;
                }
                std::sort(v.begin(), v.end());
                const double e =
                    std::abs(v[v.size() / 2] - (1500 + symbols[std::size_t(k)] * m.spacing));
                worst = std::max(worst, e);
                sum += e;
            }
            double onsetMs = INFINITY;
            for (const Reading& r : readings)
                if (r.hz && r.seconds > start &&
                    std::abs(*r.hz - (1500 + symbols[0] * m.spacing)) < 1) {
                    onsetMs = (r.seconds - start) * 1e3;
                    break;
                }
            std::printf(
                "%-10s %5.0f Hz: per-symbol error mean %.4f Hz, worst %.4f Hz; %.1f readings/s; "
                "first tone %.1f ms after onset; CPU %.2f %% of a core\n",
                m.name, rate, sum / m.symbols, worst, double(readings.size()) / seconds, onsetMs,
                100 * cpu / seconds);
        }
    }
    dds::board().setPort(nullptr);
    return 0;
}
