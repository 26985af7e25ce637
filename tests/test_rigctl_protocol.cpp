#include "net/RigctlSession.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using namespace kalimor::rig;

namespace {

class FakeRig : public Rig {
public:
    double frequencyHz() const override { return frequency; }
    int setFrequencyHz(double hz) override {
        sets.push_back(hz);
        if (status == 0) frequency = hz;
        return status;
    }
    double highestFrequencyHz() const override { return 30'000'000; }
    int sendMorse(std::string_view text) override {
        morse.emplace_back(text);
        return 0;
    }
    bool morseBusy() const override { return busy; }
    std::vector<std::string> morse;
    bool busy = false; // the keyer is sending
    double frequency = 7'040'000;
    int status = 0;
    std::vector<double> sets;
};

} // namespace

TEST(RigctlProtocol, Replies) {
    struct Case {
        std::string_view line;
        const char* reply;
    } cases[] = {
        {"f", "7040000\n"},
        {"\\get_freq", "7040000\n"},
        {"F 14074000", "RPRT 0\n"},
        {"   F    14074000.000000   ", "RPRT 0\n"},
        {"F VFOA 3573000", "RPRT 0\n"},
        {"F", "RPRT -1\n"},
        {"F abc", "RPRT -1\n"},
        {"F nan", "RPRT -1\n"},
        {"\\chk_vfo", "0\n"},
        {"v", "VFOA\n"},
        {"V VFOA", "RPRT 0\n"},
        {"s", "0\nVFOA\n"},
        {"m", "USB\n3000\n"},
        {"\\get_powerstat", "1\n"},
        {"\\get_lock_mode", "0\nRPRT 0\n"}, // as Hamlib: a 4.6 client reads the status
        {std::string_view("\0m", 2), "RPRT -11\n"},
        {"\\set_vfo_opt 0", "RPRT 0\n"},
        {"T 1", "RPRT 0\n"},
        {"T 4", "RPRT -1\n"},
        {"t", "0\n"},
        {"\x8b", "0\n"},
        {"M USB -1", "RPRT 0\n"},
        {"M pktusb 0", "RPRT 0\n"},
        {"M SSB 2400", "RPRT -1\n"},
        {"M USB -5", "RPRT -1\n"},
        {"S 0 VFOA", "RPRT 0\n"},
        {"S 1 VFOA", "RPRT -11\n"},
        {"I 14074000", "RPRT -11\n"},
        {"i", "7040000\n"},
        {"V VFOB", "RPRT 0\n"},
        {"V VFOZ", "RPRT -1\n"},
        {"\\get_vfo_info VFOA", "7040000\nUSB\n3000\n0\n0\n"},
        {"\\set_powerstat 1", "RPRT 0\n"},
        {"\\set_powerstat 0", "RPRT -11\n"},
        {"AOS", "RPRT 0\n"},
        {"LOS", "RPRT 0\n"},
        {"F VFOA    14074000", "RPRT 0\n"},
        {"t currVFO", "0\n"},
        {"\\bogus", "RPRT -11\n"},
        {"\x01\x02\xff", "RPRT -11\n"},
        {"", ""},
        {"+f", "get_freq:\nFrequency: 7040000\nRPRT 0\n"},
        {";f", "get_freq:;Frequency: 7040000;RPRT 0\n"},
        {"+\\set_freq 7040000", "set_freq: 7040000\nRPRT 0\n"},
        {"+s", "get_split_vfo:\nSplit: 0\nTX VFO: VFOA\nRPRT 0\n"},
        {"|m", "get_mode:|Mode: USB|Passband: 3000|RPRT 0\n"},
        {"+t", "get_ptt:\nPTT: 0\nRPRT 0\n"},
        {"+X\x07", "set_split_mode: ?\nRPRT -11\n"},
        {"+\\bogus", "\\bogus:\nRPRT -11\n"},
        // Several commands on a line, each answered as Hamlib answers it.
        {"+f +m +v", "get_freq:\nFrequency: 7040000\nRPRT 0\nget_mode:\nMode: USB\nPassband: "
                     "3000\nRPRT 0\nget_vfo:\nVFO: VFOA\nRPRT 0\n"},
        {"fmv", "7040000\nUSB\n3000\nVFOA\n"},
        {"+fmv", "get_freq:\nFrequency: 7040000\nRPRT 0\nUSB\n3000\nVFOA\n"},
        {";f m", "get_freq:;Frequency: 7040000;RPRT 0\nUSB\n3000\n"},
        {"F 7040000 m", "RPRT 0\nUSB\n3000\n"},
        {"F7040000", "RPRT 0\n"},
        {"f VFOA m", "7040000\nUSB\n3000\n"},
        {"f Z f", "7040000\nRPRT -11\n"},
        {"+\\chk_vfo", "ChkVFO: 0\n"},
    };
    for (const auto& c : cases) {
        FakeRig rig;
        Session session(rig);
        bool quit = true;
        EXPECT_EQ(session.handle(c.line, &quit), c.reply) << c.line;
        EXPECT_FALSE(quit);
    }
}

TEST(RigctlProtocol, SetPassesTheFrequencyAndTheStatus) {
    FakeRig rig;
    Session session(rig);
    bool quit = false;
    session.handle("F 7040123.5", &quit);
    ASSERT_EQ(rig.sets.size(), 1u);
    EXPECT_DOUBLE_EQ(rig.sets[0], 7040123.5);
    EXPECT_EQ(session.handle("f", &quit), "7040124\n");
    rig.status = -1;
    EXPECT_EQ(session.handle("F 40000000", &quit), "RPRT -1\n");
    rig.status = -6;
    EXPECT_EQ(session.handle("F 1000", &quit), "RPRT -6\n");
    EXPECT_EQ(session.handle("+F 1000", &quit), "set_freq: 1000\nRPRT -6\n");
}

TEST(RigctlProtocol, QuitConfirmsThenCloses) {
    FakeRig rig;
    Session session(rig);
    for (const char* line : {"q", "Q", "\\quit", "+q", "f q f"}) {
        bool quit = false;
        const std::string reply = session.handle(line, &quit);
        EXPECT_EQ(reply.substr(reply.size() - 7), "RPRT 0\n") << line;
        EXPECT_EQ(reply.find("RPRT 0\n") + 7, reply.size()) << line; // nothing after q
        EXPECT_TRUE(quit) << line;
    }
}

TEST(RigctlProtocol, MorseTakesTheRestOfTheLine) {
    FakeRig rig;
    Session session(rig);
    bool quit = false;
    EXPECT_EQ(session.handle("b CQ CQ DE K1ABC", &quit), "RPRT 0\n");
    EXPECT_EQ(session.handle("+\\send_morse  VVV  ", &quit), "send_morse: VVV\nRPRT 0\n");
    EXPECT_EQ(session.handle("b", &quit), "RPRT -1\n");
    EXPECT_EQ(rig.morse, (std::vector<std::string>{"CQ CQ DE K1ABC", "VVV"}));
    // An idle keyer holds nothing, not even once it starts sending later.
    EXPECT_EQ(session.handle("\\wait_morse", &quit), "RPRT 0\n");
    rig.busy = true;
    EXPECT_FALSE(session.waiting());
    // A busy one holds the reply until it is done.
    EXPECT_EQ(session.handle("\\wait_morse", &quit), "RPRT 0\n");
    EXPECT_TRUE(session.waiting());
    rig.busy = false;
    EXPECT_FALSE(session.waiting());
}

TEST(RigctlProtocol, ALineHoldsAtMost32Commands) {
    FakeRig rig;
    Session session(rig);
    bool quit = false;
    std::string expected;
    for (int i = 0; i < Session::MaxCommandsPerLine; ++i) expected += "7040000\n";
    EXPECT_EQ(session.handle(std::string(1000, 'f'), &quit), expected + "RPRT -8\n");
}

TEST(RigctlProtocol, DumpCapsTellsWhatTheGeneratorCan) {
    FakeRig rig;
    Session session(rig);
    bool quit = false;
    const std::string plain = session.handle("\\dump_caps", &quit);
    EXPECT_EQ(plain, session.handle("1", &quit));
    for (const char* line :
         {"Caps dump for model: 2\n", "\nCan get VFO:\tY\n", "\nCan set Power Stat:\tY\n",
          "\nCan send Morse:\tN\n", "\nCan send Voice:\tN\n", "\t0 Hz - 30000000 Hz\n"})
        EXPECT_NE(plain.find(line), std::string::npos) << line;
    EXPECT_EQ(plain.substr(plain.size() - 7), "RPRT 0\n");
    EXPECT_EQ(session.handle("+\\dump_caps", &quit), "dump_caps:\n" + plain);
}

// Lines through one session, each with its reply: what a client sets is
// what it reads back, and VFO mode moves the arguments behind a VFO name.
TEST(RigctlProtocol, StateAcrossLines) {
    struct Step {
        const char* line;
        const char* reply;
    };
    const std::vector<std::vector<Step>> conversations = {
        {{"M PKTUSB 2400", "RPRT 0\n"},
         {"m", "PKTUSB\n2400\n"},
         {"M CW 0", "RPRT 0\n"},
         {"m", "CW\n3000\n"},
         {"x", "CW\n3000\n"}},
        {{"T 1", "RPRT 0\n"},
         {"t", "1\n"},
         {"T 3", "RPRT 0\n"},
         {"t", "3\n"},
         {"T 0", "RPRT 0\n"},
         {"t", "0\n"}},
        {{"V VFOB", "RPRT 0\n"}, {"v", "VFOB\n"}, {"f", "7040000\n"}},
        {{"\\chk_vfo", "0\n"},
         {"\\set_vfo_opt 1", "RPRT 0\n"},
         {"\\chk_vfo", "1\n"},
         {"f VFOA", "7040000\n"},
         {"F VFOA 3573000", "RPRT 0\n"},
         {"M VFOA USB 0", "RPRT 0\n"},
         {"m VFOA", "USB\n3000\n"},
         {"T VFOA 1", "RPRT 0\n"},
         {"t VFOA", "1\n"},
         {"S VFOA 0 VFOA", "RPRT 0\n"},
         {"s VFOA", "0\nVFOA\n"},
         {"\\set_vfo_opt 0", "RPRT 0\n"},
         {"\\chk_vfo", "0\n"}},
    };
    for (const auto& steps : conversations) {
        FakeRig rig;
        RigState state;
        Session session(rig, state);
        size_t frequencySets = 0;
        for (const Step& step : steps) {
            bool quit = false;
            EXPECT_EQ(session.handle(step.line, &quit), step.reply) << step.line;
            frequencySets += step.line[0] == 'F';
        }
        EXPECT_EQ(rig.sets.size(), frequencySets) << "only F reaches the board";
    }
}

TEST(RigctlProtocol, ClientsOfOneServerShareModeAndPtt) {
    FakeRig rig;
    RigState state;
    Session a(rig, state), b(rig, state);
    bool quit = false;
    a.handle("M LSB 1800", &quit);
    a.handle("T 1", &quit);
    EXPECT_EQ(b.handle("m", &quit), "LSB\n1800\n");
    EXPECT_EQ(b.handle("t", &quit), "1\n");
    EXPECT_TRUE(state.touched);
}

TEST(RigctlProtocol, DumpStateIsAProtocolOneBlock) {
    FakeRig rig;
    Session session(rig);
    bool quit = false;
    const std::string dump = session.handle("\\dump_state", &quit);
    std::istringstream in(dump);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    ASSERT_GE(lines.size(), 20u);
    EXPECT_EQ(lines[0], "1");
    EXPECT_EQ(lines[3], "0.100000 30000000.000000 0x6fffff -1 -1 0x1 0x0");
    EXPECT_EQ(lines[9], "0x6fffff 3000") << "USB and the data modes have a filter";
    EXPECT_EQ(lines[4], "0 0 0 0 0 0 0");
    EXPECT_EQ(lines.back(), "done");
    for (const auto& l : lines) EXPECT_LT(l.size(), 96u) << "the client reads 96 bytes a line";
}
