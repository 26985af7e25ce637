#pragma once

#include "follow/Follower.h"
#include "follow/ToneMeter.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

namespace kalimor::follow {

// The audio's way into the follower, for a feed's sink: the tone meter on
// the feed's thread, each reading handed to the follower; and the watch
// that takes audio that stops coming (a stalled pipe, a source gone) for
// silence, so that no carrier is left on.
class Intake {
public:
    Intake(Follower& follower, std::chrono::milliseconds stall);
    // The feed's thread alone.
    void feed(std::span<const float> samples, double rate);
    // Every few milliseconds, from any thread.
    void watch();
    // How long without a reading is silence: 40 ms from a file. The sound
    // server relays each block through its main thread, which a busy
    // machine holds up by tens of milliseconds (44 ms seen with 12 jobs on
    // 2 cores, as when WSJT-X decodes while it transmits): from there
    // 100 ms, lest the carrier drop mid-symbol. A source that goes is told
    // at once anyway.
    static std::chrono::milliseconds stallFor(bool fromSoundServer) {
        return std::chrono::milliseconds(fromSoundServer ? 100 : 40);
    }

private:
    using Clock = std::chrono::steady_clock;
    Follower& m_follower;
    const std::chrono::milliseconds m_stall;
    std::unique_ptr<ToneMeter> m_meter;
    std::atomic<std::int64_t> m_lastReadingNs{0};
};

} // namespace kalimor::follow
