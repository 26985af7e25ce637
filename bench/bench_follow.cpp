// The audio follower's figures: readings a second, the per-symbol error of
// each mode's tones as the follower would load them (the median of its
// readings over each symbol's middle half), how soon after an onset the
// first reading holds the tone, and the CPU time it takes per second of
// audio, loads to the simulated board included. Then the follower on the
// bridge (the real firmware on an emulated ATmega328P in real time, answers
// 16 ms late as an FT232R's default latency timer holds them): the loads a
// second it makes, how long after a reading its word is latched, and the
// first output after the audio's onset and the carrier's end after its end,
// each load waiting for its answer and sent ahead; and words through the
// board's timed queue instead, for comparison.
#include "EmulatedBridge.h"
#include "Percentile.h"
#include "core/Numbers.h"
#include "dds/Board.h"
#include "dds/Port.h"
#include "dds/SerialBridge.h"
#include "follow/Follower.h"
#include "follow/ToneMeter.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>
#include <thread>
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

using SteadyClock = std::chrono::steady_clock;

// The bridge as a port that waits for every load's answer: what each of the
// follower's loads did before they were sent ahead (the guard is armed
// ahead either way, so the first output does not differ here).
class EachAnswered : public dds::PortBackend {
public:
    explicit EachAnswered(dds::PortBackend& inner) : m_inner(inner) {}
    void write(int address, const std::uint8_t* bytes, std::size_t count) override {
        m_inner.write(address, bytes, count);
    }
    QString describe() const override { return m_inner.describe(); }
    void setKeyed(bool keyed) override { m_inner.setKeyed(keyed); }
    void keepAlive() override { m_inner.keepAlive(); }

private:
    dds::PortBackend& m_inner;
};

// `tone` (Hz at seconds into it, or nothing for silence) played for
// `seconds` at 12 kHz, 5 ms at a time as a sound card hands it over, after
// 0.2 s of silence and before 0.3 s more; the follower keys by VOX.
template <typename Tone>
void followOnBridge(const char* name, bool ahead, double seconds, Tone tone) {
    constexpr double Rate = 12000, Dial = 14'074'000, RefClk = 100e6, Lead = 0.2, Tail = 0.3;
    EmulatedBridge emulated(KALIMOR_BRIDGE_ELF);
    emulated.setRealTime(true);
    emulated.setReplyDelay(std::chrono::milliseconds(16));
    dds::SerialBridgePort bridge(QString::fromStdString(emulated.device()));
    EachAnswered answered(bridge);
    dds::board().setPort(ahead ? static_cast<dds::PortBackend*>(&bridge) : &answered);

    std::vector<float> audio(std::size_t((Lead + seconds + Tail) * Rate), 0.0f);
    double phase = 0;
    for (std::size_t n = std::size_t(Lead * Rate); n < std::size_t((Lead + seconds) * Rate); ++n) {
        phase += 2 * M_PI * tone(double(n) / Rate - Lead) / Rate;
        audio[n] = float(std::round(16000 * std::sin(phase)) / 32768);
    }
    FollowSetup setup;
    setup.keying = Keying::Vox;
    setup.dialHz = Dial;
    std::vector<std::pair<std::int32_t, SteadyClock::time_point>> wanted; // each new word
    SteadyClock::time_point start;
    {
        Follower follower(setup, RefClk);
        follower.start(); // opens the link: the board resets and greets
        ToneMeter meter(Rate);
        const std::size_t hop = std::size_t(Rate * ToneMeter::HopSeconds);
        start = SteadyClock::now();
        for (std::size_t at = 0; at < audio.size(); at += hop) {
            // This block has been played: a sound card hands it over now.
            const auto due =
                start + std::chrono::microseconds(std::int64_t(double(at + hop) / Rate * 1e6));
            std::this_thread::sleep_until(due);
            meter.feed(std::span<const float>(audio.data() + at, hop), [&](const Reading& r) {
                if (r.hz && r.levelDb >= setup.thresholdDb) {
                    const std::int32_t word = tuningWord(Dial + *r.hz, RefClk);
                    if (wanted.empty() || wanted.back().first != word)
                        wanted.push_back({word, due});
                }
                follower.reading(r);
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    dds::board().setPort(nullptr);

    const auto latched = emulated.latched();
    const auto times = emulated.latchTimes();
    const auto at = [&](std::size_t i) {
        return std::chrono::duration<double>(emulated.born() - start).count() + times[i];
    };
    // Each word latched on, matched to the reading that first asked for it.
    std::vector<double> delays;
    std::size_t w = 0, on = 0;
    double firstOn = NAN, lastOn = NAN, off = NAN;
    for (std::size_t i = 0; i < latched.size(); ++i) {
        if (latched[i].powerDown) {
            if (std::isnan(off) && on > 0) off = at(i);
            continue;
        }
        ++on;
        if (std::isnan(firstOn)) firstOn = at(i);
        lastOn = at(i);
        while (w < wanted.size() && std::uint32_t(wanted[w].first) != latched[i].ftw) ++w;
        if (w == wanted.size()) break;
        delays.push_back((at(i) - std::chrono::duration<double>(wanted[w].second - start).count()) *
                         1e3);
    }
    std::sort(delays.begin(), delays.end());
    std::printf("%-10s %-16s %5.1f words wanted/s, %5.1f latched/s (%zu of %zu); reading to "
                "latch median %5.1f ms, 95%% %5.1f ms, worst %6.1f ms; first output %5.1f ms "
                "after the onset, off %5.1f ms after the end\n",
                name, ahead ? "sent ahead" : "each answered", double(wanted.size()) / seconds,
                double(on) / (lastOn - firstOn), on, wanted.size(), percentile(delays, 0.5),
                percentile(delays, 0.95), percentile(delays, 1.0), (firstOn - Lead) * 1e3,
                (off - Lead - seconds) * 1e3);
}

// The other way a word could go: the board's timed queue, each word due
// `leadMs` after its reading on the board's clock. Each 'Q' waits for its
// answer as the queue's drivers do, so it is as slow as a waited load, and
// every word lands the lead late besides.
void queuedOnBridge(double leadMs) {
    EmulatedBridge emulated(KALIMOR_BRIDGE_ELF);
    emulated.setRealTime(true);
    emulated.setReplyDelay(std::chrono::milliseconds(16));
    dds::SerialBridgePort bridge(QString::fromStdString(emulated.device()));
    if (!bridge.hasQueue()) return; // opens the link
    bridge.boardTimeUs();
    const int words = 100;
    std::vector<double> asked;
    const auto start = SteadyClock::now();
    for (int i = 0; i < words; ++i) {
        const auto now = SteadyClock::now();
        asked.push_back(std::chrono::duration<double>(now - emulated.born()).count());
        bridge.queue(
            {{std::uint32_t(std::llround(*bridge.boardAt(now) + leadMs * 1e3)), 1000u + i, 0}});
    }
    const double took = std::chrono::duration<double>(SteadyClock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto times = emulated.latchTimes();
    std::vector<double> delays;
    for (std::size_t i = 0; i < times.size() && i < asked.size(); ++i)
        delays.push_back((times[i] - asked[i]) * 1e3);
    std::sort(delays.begin(), delays.end());
    std::printf("timed queue, %.0f ms lead: %5.1f words/s, %zu of %d latched, asked to latch "
                "median %5.1f ms, worst %5.1f ms\n",
                leadMs, words / took, times.size(), words, percentile(delays, 0.5),
                percentile(delays, 1.0));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
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

    std::printf("\nOn the bridge, answers 16 ms late:\n");
    std::mt19937 symbols(2);
    std::vector<int> ft4(60);
    for (int& k : ft4) k = int(symbols() % 4);
    for (const bool ahead : {false, true}) {
        followOnBridge("FT4", ahead, 0.048 * double(ft4.size()), [&](double t) {
            return 1500 + ft4[std::min(ft4.size() - 1, std::size_t(t / 0.048))] * 12000.0 / 576;
        });
        // A tone gliding 200 Hz a second: every reading a new word.
        followOnBridge("glide", ahead, 2.0, [](double t) { return 1000 + 200 * t; });
    }
    queuedOnBridge(5);
    return 0;
}
