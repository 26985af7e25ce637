#pragma once

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <thread>
#include <vector>

namespace kalimor::follow {

// The format of a WAV stream: PCM of 8, 16, 24 or 32 bits, or 32-bit float,
// any number of channels (the first is followed).
struct WavFormat {
    int channels = 0;
    int bits = 0;
    bool isFloat = false;
    double rate = 0;
    std::int64_t frames = -1; // -1: unknown (a stream whose length the header does not hold)
};

// Plays a WAV file, or WAV on standard input ("-"), at its own rate in real
// time (or `speed` times faster), handing each 5 ms of the first channel to
// `sink` on a thread of its own once it is due: the follower sees the audio
// no sooner than a sound card would play it. A block that comes late (a
// slow pipe) is handed on at once.
class WavFeed {
public:
    using Sink = std::function<void(std::span<const float> samples, double rate)>;
    // Told once, on the feed's thread, when the audio ends: empty at its end,
    // else why it stopped.
    using Done = std::function<void(const QString& why)>;

    ~WavFeed();
    // Opens and reads the header; false with `why` when it is not WAV we read.
    bool open(const QString& path, QString* why);
    const WavFormat& format() const { return m_format; }
    // The audio's first sample counts as played now.
    void start(Sink sink, Done done, double speed = 1);
    void stop();

private:
    using Clock = std::chrono::steady_clock;
    void run(Sink sink, Done done, double speed, Clock::time_point start);
    // Reads up to `bytes` (fewer only at the end); false on a read error.
    bool readFully(char* into, std::size_t bytes, std::size_t* got);

    int m_fd = -1;
    bool m_ownFd = false;
    WavFormat m_format;
    std::int64_t m_dataBytes = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace kalimor::follow
