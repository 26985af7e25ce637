#include "app/Options.h"

#include <gtest/gtest.h>

using namespace kalimor;

namespace {
std::variant<Options, QString> parse(std::initializer_list<const char*> args) {
    QStringList list{QStringLiteral("kalimor")};
    for (const char* a : args) list << QString::fromLatin1(a);
    return parseOptions(list);
}
} // namespace

TEST(Options, AcceptedForms) {
    struct Case {
        std::initializer_list<const char*> args;
        Options::Port port;
        const char* device;
        const char* trace;
    };
    const Case cases[] = {
        {{}, Options::Port::Ppdev, "", ""},
        {{"--simulate"}, Options::Port::Simulated, "", ""},
        {{"--port", "io"}, Options::Port::DirectIo, "", ""},
        {{"--port=sim"}, Options::Port::Simulated, "", ""},
        {{"--port", "/dev/parport1"}, Options::Port::Ppdev, "/dev/parport1", ""},
        {{"--trace", "/tmp/t.jsonl", "--simulate"}, Options::Port::Simulated, "", "/tmp/t.jsonl"},
        {{"--trace=-odd name"}, Options::Port::Ppdev, "", "-odd name"},
        {{"-platform", "offscreen", "--simulate"}, Options::Port::Simulated, "", ""},
    };
    for (const auto& c : cases) {
        const auto r = parse(c.args);
        ASSERT_TRUE(std::holds_alternative<Options>(r)) << qPrintable(std::get<QString>(r));
        const Options& o = std::get<Options>(r);
        EXPECT_EQ(o.port, c.port);
        EXPECT_EQ(o.device, QString::fromLatin1(c.device));
        EXPECT_EQ(o.traceFile, QString::fromLatin1(c.trace));
    }
}

TEST(Options, RefusedWithOneLine) {
    const std::initializer_list<const char*> bad[] = {
        {"--bogus"},
        {"--port"},
        {"--port", "/dev/sda"},
        {"--port", "lpt1"},
        {"--trace"},
        {"--trace="},
        {"extra"},
        {"--trace", "-platform", "offscreen"},
        {"--port", "--simulate"},
    };
    for (const auto& args : bad) {
        const auto r = parse(args);
        ASSERT_TRUE(std::holds_alternative<QString>(r));
        EXPECT_FALSE(std::get<QString>(r).contains(QLatin1Char('\n')));
        if (args.size() == 3) {
            EXPECT_EQ(std::get<QString>(r), "option --trace needs a value");
        }
    }
}
