// The bridge's back-end against devices that misbehave, on a pseudo-terminal:
// stray and duplicated answers, answers 16 ms late as an FT232R's default
// latency gives them, a device that chatters, one that is silent and one that
// is no bridge at all. What each load reports must be what the device did,
// and nothing may hold the caller past its bound.
#include "LoadStream.h"
#include "Raised.h"
#include "dds/SerialBridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace kalimor;
using namespace kalimor::dds;
using Clock = std::chrono::steady_clock;

namespace {

// A device on the master side of a pseudo-terminal: it takes protocol 2
// frames and answers as `Behaviour` says.
class ScriptedDevice {
public:
    enum class Behaviour {
        Good,
        Late,
        StrayRefusal,
        Duplicate,
        RefuseEveryThird,
        DropFifth, // as if the fifth load's frame were lost on the way
        Chatter,
        Silent,
        NotABridge,
        NoFastLink, // takes a faster speed, then hears nothing at it until it goes back
    };

    explicit ScriptedDevice(Behaviour b) : m_behaviour(b) {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(m_master);
        unlockpt(m_master);
        m_slave = ptsname(m_master);
        fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
        // Opened and closed once, the terminal reads as hung up until the
        // program opens it: then a board greets, as an Arduino does on reset.
        ::close(::open(m_slave.c_str(), O_RDWR | O_NOCTTY));
        m_thread = std::thread([this] { run(); });
    }
    ~ScriptedDevice() {
        m_stop = true;
        m_thread.join();
        ::close(m_master);
    }
    QString device() const { return QString::fromStdString(m_slave); }
    std::vector<std::uint32_t> latched() {
        std::lock_guard lock(m_mutex);
        return m_latched;
    }

private:
    void send(const QByteArray& body) {
        // Late: held as a USB chip's latency timer holds it, while the
        // board goes on with the next frame.
        m_outbox.emplace_back(
            Clock::now() + std::chrono::milliseconds(m_behaviour == Behaviour::Late ? 16 : 0),
            bridge::frame(body));
        flush();
    }
    void flush() {
        for (; !m_outbox.empty() && m_outbox.front().first <= Clock::now(); m_outbox.pop_front())
            if (::write(m_master, m_outbox.front().second.data(),
                        size_t(m_outbox.front().second.size())) < 0) {
                // The program has closed its end; the next open reads again.
            }
    }
    void run() {
        QByteArray in;
        bool greeted = false;
        int loads = 0;
        while (!m_stop) {
            char buffer[256];
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            const bool hungUp = n < 0 && errno == EIO;
            if (hungUp) greeted = false; // the next open resets the board, which greets again
            if (n > 0) in.append(buffer, n);
            if (!hungUp && !greeted) {
                greeted = true;
                if (m_behaviour != Behaviour::Chatter && m_behaviour != Behaviour::Silent &&
                    m_behaviour != Behaviour::NotABridge)
                    send(QByteArray("B\x03\x27", 3));
            }
            if (m_behaviour == Behaviour::Chatter && greeted) send(QByteArray("x\x01", 2));
            if (m_behaviour == Behaviour::NotABridge && n > 0)
                if (::write(m_master, "OK\r\nERROR\r\n", 11) < 0) {
                }
            while (auto body = bridge::takeFrame(&in)) {
                if (m_behaviour == Behaviour::Silent || m_behaviour == Behaviour::NotABridge ||
                    m_behaviour == Behaviour::Chatter || body->size() < 2)
                    continue;
                const char seq = body->at(1);
                if (Clock::now() < m_deaf) continue; // the garbled fast link
                if (body->startsWith('U') && m_behaviour == Behaviour::NoFastLink) {
                    send(QByteArray("A") + seq + 'U');
                    m_deaf = Clock::now() + std::chrono::milliseconds(550);
                    continue;
                }
                if (body->startsWith('I')) send(QByteArray("i") + seq + QByteArray("\x03\x07", 2));
                if (!body->startsWith('L') || body->size() != 7) continue;
                if (m_behaviour == Behaviour::StrayRefusal)
                    send(QByteArray("E") + char(seq - 1) + '\x01');
                if (m_behaviour == Behaviour::RefuseEveryThird && ++loads % 3 == 0) {
                    send(QByteArray("E") + seq + '\x03');
                    continue;
                }
                if (m_behaviour == Behaviour::DropFifth && ++loads == 5) continue;
                std::uint32_t word = 0;
                for (int i = 0; i < 4; ++i)
                    word |= std::uint32_t(std::uint8_t(body->at(2 + i))) << (8 * i);
                {
                    std::lock_guard lock(m_mutex);
                    m_latched.push_back(word);
                }
                send(QByteArray("A") + seq + 'L');
                if (m_behaviour == Behaviour::Duplicate) send(QByteArray("A") + seq + 'L');
                if (m_behaviour == Behaviour::StrayRefusal) send(QByteArray("E\xFF\x01", 3));
            }
            flush();
            if (n <= 0)
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(m_behaviour == Behaviour::Chatter ? 5 : 1));
        }
    }

    Behaviour m_behaviour;
    int m_master = -1;
    std::string m_slave;
    std::mutex m_mutex;
    std::vector<std::uint32_t> m_latched;
    Clock::time_point m_deaf;
    std::deque<std::pair<Clock::time_point, QByteArray>> m_outbox;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

double millisSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

} // namespace

// Each load's outcome as reported is what the device did with it.
TEST(BridgeHost, EveryOutcomeIsTheDevicesOwn) {
    using B = ScriptedDevice::Behaviour;
    for (B behaviour : {B::Good, B::Late, B::StrayRefusal, B::Duplicate, B::RefuseEveryThird}) {
        SCOPED_TRACE(int(behaviour));
        ScriptedDevice device(behaviour);
        SerialBridgePort port(device.device());
        std::vector<std::uint32_t> reported;
        for (std::uint32_t word = 1; word <= 9; ++word) {
            const auto bytes = loadStream(word * 1000, 0);
            const auto start = Clock::now();
            const Raised r = raised([&] { port.write(0, bytes.data(), bytes.size()); });
            if (r.number == 0) reported.push_back(word * 1000);
            // An exchange ends within its bound (250 ms); the first also opens.
            EXPECT_LT(millisSince(start), word == 1 ? 3500 : 1000) << word;
        }
        EXPECT_EQ(reported, device.latched());
        EXPECT_EQ(reported.size(), behaviour == B::RefuseEveryThird ? 6u : 9u);
    }
}

// Loads sent ahead, answers read later: the words the device latched are
// those sent, in order; a refusal or a lost frame is raised by a later call,
// whose own word is then not sent; a load that waits goes out behind them
// and reports them all; and no call waits out the device's latency.
TEST(BridgeHost, LoadsSentAheadAreAccountedFor) {
    using B = ScriptedDevice::Behaviour;
    struct Case {
        B behaviour;
        const char* raised; // what some call must raise; nothing when empty
    };
    for (const Case& c : {Case{B::Late, ""}, Case{B::Duplicate, ""}, Case{B::StrayRefusal, ""},
                          Case{B::RefuseEveryThird, "refused a frame of the wrong length"},
                          Case{B::DropFifth, "went unanswered"}}) {
        SCOPED_TRACE(int(c.behaviour));
        ScriptedDevice device(c.behaviour);
        SerialBridgePort port(device.device());
        const auto first = loadStream(1, 0);
        port.write(0, first.data(), first.size()); // opens the link
        std::vector<std::uint32_t> sent{1};
        QStringList raisedBy;
        const auto start = Clock::now();
        for (std::uint32_t word = 2; word <= 40; ++word) {
            const auto bytes = loadStream(word, 0);
            const Raised r = raised([&] { port.writeAhead(0, bytes.data(), bytes.size()); });
            if (r.number == 0)
                sent.push_back(word);
            else
                raisedBy << r.description;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        // 39 loads, 2 ms apart: 80 ms, where waiting for each answer 16 ms
        // late would take 700.
        if (c.behaviour == B::Late) {
            EXPECT_LT(millisSince(start), 400);
        }
        const auto off = loadStream(99, 0x04);
        const Raised last = raised([&] { port.write(0, off.data(), off.size()); });
        sent.push_back(99); // a load that waits goes out, whatever it then reports
        if (last.number != 0) raisedBy << last.description;
        const auto latched = device.latched();
        if (!*c.raised) {
            EXPECT_TRUE(raisedBy.isEmpty()) << qPrintable(raisedBy.join('\n'));
            EXPECT_EQ(latched, sent);
            continue;
        }
        ASSERT_FALSE(raisedBy.isEmpty());
        EXPECT_TRUE(raisedBy.front().contains(QLatin1String(c.raised)))
            << qPrintable(raisedBy.front());
        // In order, each once, and never a word whose call raised.
        EXPECT_TRUE(std::is_sorted(latched.begin(), latched.end()));
        EXPECT_EQ(std::adjacent_find(latched.begin(), latched.end()), latched.end());
        for (std::uint32_t word : latched)
            EXPECT_NE(std::find(sent.begin(), sent.end(), word), sent.end()) << word;
        EXPECT_LT(latched.size(), sent.size());
    }
}

// A device that chatters, says nothing or is no bridge: the open gives up
// within its deadline, and the next loads fail at once with the same reason
// until the retry time has passed.
TEST(BridgeHost, NothingHoldsTheCallerLong) {
    using B = ScriptedDevice::Behaviour;
    for (B behaviour : {B::Chatter, B::Silent, B::NotABridge}) {
        SCOPED_TRACE(int(behaviour));
        ScriptedDevice device(behaviour);
        SerialBridgePort port(device.device());
        const auto bytes = loadStream(1000, 0);
        auto start = Clock::now();
        const Raised first = raised([&] { port.write(0, bytes.data(), bytes.size()); });
        EXPECT_EQ(first.number, err::PortAccess);
        EXPECT_TRUE(first.description.contains(QStringLiteral("flash firmware/ first")))
            << qPrintable(first.description);
        EXPECT_LT(millisSince(start), 4000);
        start = Clock::now();
        const Raised again = raised([&] { port.write(0, bytes.data(), bytes.size()); });
        EXPECT_EQ(again.description, first.description);
        EXPECT_LT(millisSince(start), 100);
        EXPECT_TRUE(device.latched().empty());
    }
}

// A link that does not hold at a faster speed falls back to 115200 and
// works there.
TEST(BridgeHost, ASpeedThatDoesNotHoldFallsBack) {
    ScriptedDevice device(ScriptedDevice::Behaviour::NoFastLink);
    SerialBridgePort port(device.device());
    const auto bytes = loadStream(4242, 0);
    const Raised r = raised([&] { port.write(0, bytes.data(), bytes.size()); });
    EXPECT_EQ(r.number, 0) << qPrintable(r.description);
    EXPECT_EQ(device.latched(), std::vector<std::uint32_t>{4242});
    EXPECT_TRUE(port.driverLines().join(' ').contains(QStringLiteral("115200 baud")));
}

// A port held elsewhere is named with its holder, not blamed on the group.
TEST(BridgeHost, APortInUseSaysByWhom) {
    ScriptedDevice device(ScriptedDevice::Behaviour::Good);
    SerialLine first, second;
    QString why;
    ASSERT_TRUE(first.open(device.device(), 115200, &why)) << qPrintable(why);
    EXPECT_FALSE(second.open(device.device(), 115200, &why));
    EXPECT_TRUE(why.contains(QStringLiteral("in use by this program"))) << qPrintable(why);
    EXPECT_FALSE(why.contains(QStringLiteral("dialout")));
}
