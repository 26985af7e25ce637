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
        const char* port; // the port's text form; "" without one
        const char* trace;
    };
    const Case cases[] = {
        {{}, "", ""},
        {{"--simulate"}, "sim", ""},
        {{"--port", "io"}, "io", ""},
        {{"--port=sim"}, "sim", ""},
        {{"--port", "/dev/parport1"}, "/dev/parport1", ""},
        {{"--port", "ppdev"}, "ppdev", ""},
        {{"--port", "ftdi"}, "ftdi", ""},
        {{"--port", "ftdi:A1B2C3D4"}, "ftdi:A1B2C3D4", ""},
        {{"--port", "ftdi::reset"}, "ftdi::reset", ""},
        {{"--port", "gpio"}, "gpio:gpiochip0:25,23,24,22", ""},
        {{"--port", "gpio:gpiochip1:17,27,22"}, "gpio:gpiochip1:17,27,22", ""},
        {{"--port", "serial:/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"},
         "serial:/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0",
         ""},
        {{"--trace", "/tmp/t.jsonl", "--simulate"}, "sim", "/tmp/t.jsonl"},
        {{"--trace=-odd name"}, "", "-odd name"},
        {{"-platform", "offscreen", "--simulate"}, "sim", ""},
    };
    for (const auto& c : cases) {
        const auto r = parse(c.args);
        ASSERT_TRUE(std::holds_alternative<Options>(r)) << qPrintable(std::get<QString>(r));
        const Options& o = std::get<Options>(r);
        EXPECT_EQ(o.port ? o.port->text() : QString(), QString::fromLatin1(c.port));
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
