#include "Raised.h"
#include "core/Error.h"
#include "core/Numbers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace kalimor;

namespace {
int errorNumber(auto&& f) {
    return raised(f).number;
}
} // namespace

TEST(Rounding, NearestWithTiesToEven) {
    struct Case {
        double in;
        int out;
    } cases[] = {
        {0.5, 0},         {1.5, 2},         {2.5, 2},         {-0.5, 0},          {-1.5, -2},
        {10000.5, 10000}, {10001.5, 10002}, {32767.4, 32767}, {-32768.4, -32768}, {0.49999999, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(toInt16(c.in), c.out) << c.in;
    EXPECT_EQ(toInt32(42949.67296), 42950);
    EXPECT_EQ(toInt32(2147483647.4), 2147483647);
}

TEST(Rounding, OverflowOutsideTheRange) {
    const double bad16[] = {32767.5, -32768.6, 70000, std::nan(""), INFINITY, -INFINITY};
    for (double v : bad16) EXPECT_EQ(errorNumber([&] { toInt16(v); }), err::Overflow) << v;
    const double bad32[] = {2147483647.5, 2147483648.0, -2147483649.0, std::nan("")};
    for (double v : bad32) EXPECT_EQ(errorNumber([&] { toInt32(v); }), err::Overflow) << v;
}

TEST(TuningWord, FromFrequencyAndClock) {
    EXPECT_EQ(tuningWord(1000, 100e6), 42950);
    EXPECT_EQ(hexUpper(tuningWord(1000, 100e6)), QStringLiteral("A7C6"));
    EXPECT_EQ(tuningWord(0.1, 100e6), 4);
    EXPECT_EQ(tuningWord(30e6, 100e6), 1288490189);
    EXPECT_EQ(tuningWord(7040000, 100e6), 302365698);
    // Exactly .5 goes to the even neighbour: 2^32 / 2^33 * 3 = 1.5 -> 2, * 5 = 2.5 -> 2.
    EXPECT_EQ(tuningWord(3, 8589934592.0), 2);
    EXPECT_EQ(tuningWord(5, 8589934592.0), 2);
    EXPECT_EQ(errorNumber([] { tuningWord(50e6, 100e6); }), err::Overflow); // 2^31
    EXPECT_EQ(errorNumber([] { tuningWord(1000, 0); }), err::DivisionByZero);
    EXPECT_EQ(hexUpper(-1), QStringLiteral("FFFFFFFF"));
    EXPECT_EQ(hexUpper(0), QStringLiteral("0"));
}

TEST(LocaleDouble, EnglishAndGermanSeparators) {
    const QLocale en(QLocale::English, QLocale::UnitedStates);
    const QLocale de(QLocale::German, QLocale::Germany);
    struct Case {
        const char* text;
        const QLocale* locale;
        double value;
    } ok[] = {
        {"1000.0", &en, 1000},    {"  1000.5 ", &en, 1000.5}, {"1,000.5", &en, 1000.5},
        {"1e3", &en, 1000},       {"-0.05", &en, -0.05},      {"1000,5", &de, 1000.5},
        {"1.000,5", &de, 1000.5}, {" 0,1 ", &de, 0.1},        {"2E-1", &de, 0.2},
    };
    for (const auto& c : ok)
        EXPECT_DOUBLE_EQ(parseLocaleDouble(QString::fromLatin1(c.text), *c.locale), c.value)
            << c.text;
    const char* bad[] = {"", "   ", "abc", "12abc", "1.2.3", "0x10", "--1"};
    for (const char* t : bad)
        EXPECT_EQ(errorNumber([&] { parseLocaleDouble(QString::fromLatin1(t), en); }),
                  err::TypeMismatch)
            << t;
    EXPECT_EQ(errorNumber([&] { parseLocaleDouble(QStringLiteral("1000.5x"), de); }),
              err::TypeMismatch);
}

TEST(NumericText, PlainDecimalOnly) {
    EXPECT_EQ(parseNumericText(QStringLiteral(" 100 ")), 100.0);
    EXPECT_EQ(parseNumericText(QStringLiteral("-2.5e2")), -250.0);
    EXPECT_EQ(parseNumericText(QStringLiteral(".5")), 0.5);
    for (const char* t : {"", "abc", "12abc", "1e", "+", "1 2", "0x10"})
        EXPECT_FALSE(parseNumericText(QString::fromLatin1(t)).has_value()) << t;
}

TEST(LeadingNumber, ReadsWhatStandsInFront) {
    struct Case {
        const char* text;
        double value;
    } cases[] = {
        {" 100", 100},      {"12abc", 12},      {"", 0},
        {"abc", 0},         {"1.5", 1.5},       {"125.5", 125.5},
        {"1 2 3", 123},     {"\t-4\n2", -42},   {"1.5e2", 150},
        {"1.5e", 1.5},      {"2D1", 20},        {"1,5", 1},
        {"&H378", 888},     {"&h3fe", 1022},    {"&H378h", 888},
        {"&H3FF", 1023},    {"&H", 0},          {"&Hxyz", 0},
        {"&H0x378", 0},     {"&H8000", -32768}, {"&HFFFF", -1},
        {"&H10000", 65536}, {"&HFFFFFFFF", -1}, {"&H100000000", 4294967296.0},
        {"+7", 7},          {".5", 0.5},        {"-.5x", -0.5},
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(readLeadingNumber(QString::fromLatin1(c.text)), c.value) << c.text;
}

TEST(Format, PatternsInEnglish) {
    const QLocale en(QLocale::English, QLocale::UnitedStates);
    struct Case {
        double value;
        const char* pattern;
        const char* text;
    } cases[] = {
        {0.0012345, "0.000", "0.001"},
        {1000, "0.0", "1000.0"},
        {1234.5, "0.0", "1234.5"},
        {0, "0.0", "0.0"},
        {0, "0.00", "0.00"},
        {0, "0.000", "0.000"},
        {300, "0.00", "300.00"},
        {30, "0.000", "30.000"},
        {10000000, "0.0", "10000000.0"},
        {3000, "##,###,###Hz", "3,000Hz"},
        {300000, "##,###,###Hz", "300,000Hz"},
        {30000000, "##,###,###Hz", "30,000,000Hz"},
        {11.25, "##0.00", "11.25"},
        {348.75, "##0.00", "348.75"},
        {0, "##0.00", "0.00"},
        {1.005, "0.00", "1.01"},
        {0.05, "0.0", "0.1"},
        {-0.1, "0.0", "-0.1"},
        {-0.04, "0.0", "0.0"},
        {999.96, "0.0", "1000.0"},
        {1000.05, "0.0", "1000.1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatNumber(c.value, QString::fromLatin1(c.pattern), en),
                  QString::fromLatin1(c.text))
            << c.value << " " << c.pattern;
}

TEST(Format, UsesTheLocaleSeparators) {
    const QLocale de(QLocale::German, QLocale::Germany);
    EXPECT_EQ(formatNumber(3000, QStringLiteral("##,###,###Hz"), de), QStringLiteral("3.000Hz"));
    EXPECT_EQ(formatNumber(1234.5, QStringLiteral("0.0"), de), QStringLiteral("1234,5"));
    EXPECT_EQ(formatNumber(0.001, QStringLiteral("0.000"), de), QStringLiteral("0,001"));
}
