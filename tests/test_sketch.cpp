#include "FakeSketch.h"
#include "core/Error.h"
#include "dds/PortSpec.h"
#include "dds/SketchAnalyser.h"

#include <gtest/gtest.h>

#include <poll.h>

using namespace kalimor;
using namespace kalimor::dds;

// Both line formats, a greeting before the points, a missing "End", a line
// that is no point; a zero-width range and zero steps refused before
// anything is sent (the sketches hang or divide by zero on them).
TEST(Sketch, SweepsAgainstAPseudoTerminal) {
    struct Row {
        const char* name;
        double startHz, stopHz;
        int steps;
        const char* reply;
        int points;        // -1: an error
        const char* error; // the start of its text
    };
    const Row rows[] = {
        {"two columns", 7e6, 7.2e6, 2,
         "AD9850 analyser\r\n7000000,2000\r\n7100000,1050\r\n7200000,1980\r\nEnd\r\n", 3, ""},
        {"four columns", 7e6, 7.2e6, 1, "7000000,1500,812,162\r\n7200000,3000,800,400\r\nEnd\r\n",
         2, ""},
        {"no End", 7e6, 7.2e6, 2, "7000000,2000\r\n7100000,1050\r\n", -1, "stopped after 2 points"},
        {"not a point", 7e6, 7.2e6, 2, "7000000;2000\r\nEnd\r\n", -1, "sent \"7000000;2000\""},
        {"0N", 7e6, 7.2e6, 0, "", -1, "the sweep needs 1 step"},
        {"zero width", 7e6, 7e6, 10, "", -1, "the sweep needs its stop above"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        FakeSketch fake;
        SketchAnalyser sketch;
        QString why;
        ASSERT_TRUE(sketch.open(fake.device(), 115200, &why)) << qPrintable(why);
        if (*r.reply) fake.answer(r.reply);
        try {
            const auto points =
                sketch.sweep(r.startHz, r.stopHz, r.steps, std::chrono::milliseconds(300));
            ASSERT_EQ(int(points.size()), r.points);
            EXPECT_EQ(fake.thread.joinable() ? (fake.thread.join(), fake.asked) : std::string(),
                      "7000000A7200000B" + std::to_string(r.steps) + "NS");
            EXPECT_DOUBLE_EQ(points.front().hz, 7e6);
            EXPECT_DOUBLE_EQ(points.back().swr, r.points == 3 ? 1.98 : 3.0);
            EXPECT_EQ(points.back().reflected.has_value(), r.points == 2);
        } catch (const Error& e) {
            EXPECT_EQ(r.points, -1) << qPrintable(e.description());
            EXPECT_TRUE(e.description().contains(QLatin1String(r.error)))
                << qPrintable(e.description());
            if (!*r.reply) { // nothing may have reached the sketch
                pollfd p{fake.master, POLLIN, 0};
                EXPECT_EQ(poll(&p, 1, 50), 0);
            }
        }
    }
}

TEST(Sketch, PortSpecs) {
    QString why;
    const auto a = parsePortSpec(QStringLiteral("sketch:/dev/ttyUSB0"), &why);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->baud, 115200);
    const auto b = parsePortSpec(QStringLiteral("sketch:/dev/ttyUSB0:57600"), &why);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->device, QStringLiteral("/dev/ttyUSB0"));
    EXPECT_EQ(parsePortSpec(b->text(), &why), b);
    EXPECT_FALSE(parsePortSpec(QStringLiteral("sketch:/dev/ttyUSB0:9600"), &why));
}
