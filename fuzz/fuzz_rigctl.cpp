// Feeds arbitrary bytes, line by line, to one rigctld session: no input may
// crash it, and every reply must be a whole line.
#include "net/RigctlSession.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
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
    Rig rig;
    kalimor::rig::Session session(rig);
    std::string_view input(reinterpret_cast<const char*>(data), size);
    while (!input.empty()) {
        const std::size_t nl = input.find('\n');
        const std::string_view line = input.substr(0, nl);
        bool quit = false;
        const std::string reply = session.handle(line, &quit);
        if (!reply.empty() && reply.back() != '\n') std::abort();
        if (quit || nl == std::string_view::npos) break;
        input.remove_prefix(nl + 1);
    }
    return 0;
}
