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
        {{"--port", "gpio"}, "gpio", ""},
        {{"--port", "gpio:pinctrl-rp1"}, "gpio:pinctrl-rp1:25,23,24,22", ""},
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
    EXPECT_EQ(std::get<Options>(parse({"--tx-timeout", "2.5"})).txTimeoutMinutes, 2.5);
    EXPECT_EQ(std::get<Options>(parse({})).txTimeoutMinutes, 10);
}

TEST(Options, BeaconAndAnalyser) {
    const auto beacon = parse({"--beacon", "qrss3", "--dial", "10.14,7.0386", "--text", "K1ABC",
                               "--keying", "dfcw:5", "--once"});
    ASSERT_TRUE(std::holds_alternative<Options>(beacon)) << qPrintable(std::get<QString>(beacon));
    const auto& b = *std::get<Options>(beacon).beacon;
    EXPECT_EQ(b.dialsHz, (std::vector<double>{10'140'000, 7'038'600}));
    EXPECT_EQ(b.ditSeconds, 3);
    EXPECT_EQ(b.keying, beacon::Keying::Dfcw);
    EXPECT_TRUE(b.once);
    const auto analyse = parse({"--analyse", "10.68:10.72:1001", "--source", "-10", "--log"});
    ASSERT_TRUE(std::holds_alternative<Options>(analyse));
    const auto& a = *std::get<Options>(analyse).analyse;
    EXPECT_EQ(a.points, 1001);
    EXPECT_EQ(a.sourceDbm, -10);
    EXPECT_TRUE(a.log);
}

// Each bad command line gets its own one-line refusal: the phrase of the
// rule it broke, not merely some error.
TEST(Options, RefusedWithOneLine) {
    const struct {
        std::initializer_list<const char*> args;
        const char* refusal;
    } bad[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--port"}, "option --port needs a value"},
        {{"--port", "/dev/sda"}, "--port /dev/sda: expected sim, ppdev"},
        {{"--port", "lpt1"}, "--port lpt1: expected sim, ppdev"},
        {{"--trace"}, "option --trace needs a value"},
        {{"--trace="}, "--trace needs a file name"},
        {{"extra"}, "unknown option 'extra'"},
        {{"--trace", "-platform", "offscreen"}, "option --trace needs a value"},
        {{"--port", "--simulate"}, "option --port needs a value"},
        {{"--beacon", "wspr", "--call", "K1ABC"}, "--beacon needs --dial MHZ"},
        {{"--dial", "14.0956"}, "--dial goes with --beacon"},
        {{"--beacon", "cw", "--dial", "7", "--text", "X", "--wpm", "50"}, "--wpm 50: 5 to 40"},
        {{"--beacon", "qrss7", "--dial", "7", "--text", "X"}, "--beacon qrss7: QRSS dits are"},
        {{"--beacon", "cw", "--dial", "7", "--text", "X", "--keying", "fsk:0"},
         "--keying fsk:0: onoff, fsk:HZ or dfcw:HZ"},
        {{"--beacon", "wspr", "--dial", "7", "--call", "K1ABC", "--offset", "2000"},
         "--offset 2000: 1400 to 1600 Hz"},
        {{"--analyse", "10:9:100"}, "STOP 9 MHz is not above START 10 MHz"},
        {{"--analyse", "1:2:3", "--crystal", "12.5"}, "--analyse and --crystal go one at a time"},
        {{"--s2p", "x.s2p"}, "--s2p goes with --analyse or --crystal"},
        {{"--tx-timeout", "-1"}, "--tx-timeout -1: minutes from 0 (none) to 1440"},
        {{"--tx-timeout=ten"}, "--tx-timeout ten: minutes from 0 (none) to 1440"},
    };
    for (const auto& [args, phrase] : bad) {
        const auto r = parse(args);
        ASSERT_TRUE(std::holds_alternative<QString>(r)) << phrase;
        const QString& refusal = std::get<QString>(r);
        EXPECT_FALSE(refusal.contains(QLatin1Char('\n'))) << qPrintable(refusal);
        EXPECT_TRUE(refusal.contains(QLatin1String(phrase)))
            << "wanted \"" << phrase << "\", got: " << qPrintable(refusal);
    }
}

// Each refusal names the option, its value and the rule; the board's limit
// at the reference clock is the last frequency whose word fits.
TEST(Options, RefusalNamesTheRule) {
    struct Case {
        std::initializer_list<const char*> args;
        double refClkHz;
        const char* refusal; // empty: accepted
    };
    const Case cases[] = {
        {{"--analyse", "10:9:10"}, 100e6, "STOP 9 MHz is not above START 10 MHz"},
        {{"--analyse", "1:2:10002"}, 100e6, "POINTS 10002 is not from 2 to 10001"},
        {{"--analyse", "1:49.999999:3"}, 100e6, ""},
        {{"--analyse", "1:50:3"},
         100e6,
         "--analyse 1:50:3: STOP 50 MHz is above 49.999999 MHz, the most this board makes at a "
         "100 MHz clock"},
        {{"--analyse", "1:60:3"}, 125e6, ""},
        {{"--crystal", "12.5", "--near", "49.75"}, 100e6, ""},
        {{"--crystal", "12.5", "--near", "49.8"}, 100e6, "--near 49.8: the crystal's sweep up to"},
        {{"--analyse", "-1:2:3", "--csv", "-"}, 100e6, "START -1 MHz is not above 0 MHz"},
        {{"--beacon", "wspr", "--dial", "7", "--call", "K1ABC", "--dbm", "-5"},
         100e6,
         "the nearest is 0"},
        {{"--beacon", "wspr", "--dial", "7", "--call", "K1ABC", "--grid", "FN42", "--dbm", "57"},
         100e6,
         ""},
        {{"--beacon", "wspr", "--dial", "7", "--call", "K1ABC", "--grid", "ZZ99"},
         100e6,
         "--call K1ABC --grid ZZ99: "},
        {{"--beacon", "cw", "--dial", "7", "--text", "X", "--wpm", "50"},
         100e6,
         "--wpm 50: 5 to 40"},
        {{"--beacon", "wspr", "--dial", "7", "--call", "K1ABC", "--grid", "FN42", "--tx-percent",
          "x"},
         100e6,
         "--tx-percent x: not a number"},
    };
    for (const auto& c : cases) {
        const auto r = parse(c.args);
        QString refusal;
        if (const QString* error = std::get_if<QString>(&r))
            refusal = *error;
        else if (const auto& a = std::get<Options>(r).analyse)
            refusal = checkAnalyseLimits(*a, c.refClkHz).value_or(QString());
        if (!*c.refusal)
            EXPECT_TRUE(refusal.isEmpty()) << qPrintable(refusal);
        else
            EXPECT_TRUE(refusal.contains(QLatin1String(c.refusal))) << qPrintable(refusal);
    }
}
