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
    double frequency = 7'040'000;
    int status = 0;
    std::vector<double> sets;
};

} // namespace

TEST(RigctlProtocol, Replies) {
    struct Case {
        const char* line;
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
        {"m", "CW\n0\n"},
        {"\\get_powerstat", "1\n"},
        {"\\get_lock_mode", "0\n"},
        {"\\set_vfo_opt 0", "RPRT 0\n"},
        {"T 1", "RPRT -11\n"},
        {"\\bogus", "RPRT -11\n"},
        {"\x01\x02\xff", "RPRT -11\n"},
        {"", ""},
        {"+f", "get_freq:\nFrequency: 7040000\nRPRT 0\n"},
        {";f", "get_freq:;Frequency: 7040000;RPRT 0\n"},
        {"+\\set_freq 7040000", "set_freq: 7040000\nRPRT 0\n"},
        {"+s", "get_split_vfo:\nSplit: 0\nTX VFO: VFOA\nRPRT 0\n"},
        {"|m", "get_mode:|Mode: CW|Passband: 0|RPRT 0\n"},
        {"+X\x07", "X?:\nRPRT -11\n"},
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

TEST(RigctlProtocol, QuitAnswersAndCloses) {
    FakeRig rig;
    Session session(rig);
    for (const char* line : {"q", "Q", "\\quit"}) {
        bool quit = false;
        EXPECT_EQ(session.handle(line, &quit), "RPRT 0\n");
        EXPECT_TRUE(quit) << line;
    }
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
    EXPECT_EQ(lines[3], "0.100000 30000000.000000 0x2 -1 -1 0x1 0x0");
    EXPECT_EQ(lines[4], "0 0 0 0 0 0 0");
    EXPECT_EQ(lines.back(), "done");
    for (const auto& l : lines) EXPECT_LT(l.size(), 96u) << "the client reads 96 bytes a line";
}
