// Feeds arbitrary bytes to one rigctld connection as the server does: cut
// into chunks of the sizes the first byte chooses, framed into lines, each
// line handled by the session. No input may crash it, every reply must be a
// whole line, and the framer may never hold much more than one line.
#include "net/LineFramer.h"
#include "net/RigctlSession.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

class Rig : public kalimor::rig::Rig {
public:
    double frequencyHz() const override { return m_hz; }
    int setFrequencyHz(double hz) override {
        if (hz < 0.1 || hz > 30e6) return kalimor::rig::RigInvalid;
        m_hz = hz;
        return kalimor::rig::RigOk;
    }
    double highestFrequencyHz() const override { return 30e6; }

private:
    double m_hz = 1000;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t chunk = 1 + data[0] % 64;
    Rig rig;
    kalimor::rig::RigState state;
    kalimor::rig::Session session(rig, state);
    kalimor::rig::LineFramer framer;
    std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string line;
    while (!input.empty()) {
        framer.feed(input.substr(0, chunk));
        input.remove_prefix(std::min(chunk, input.size()));
        if (framer.buffered() > kalimor::rig::LineFramer::MaxLine + 64 + chunk) std::abort();
        for (;;) {
            const auto item = framer.next(&line);
            if (item == kalimor::rig::LineFramer::Item::None) break;
            if (item == kalimor::rig::LineFramer::Item::TooLong) continue;
            if (line.find('\n') != std::string::npos) std::abort();
            bool quit = false;
            const std::string reply = session.handle(line, &quit);
            if (!reply.empty() && reply.back() != '\n') std::abort();
            if (quit) return 0;
        }
    }
    return 0;
}
