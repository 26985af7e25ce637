// The beacon's arithmetic: WSPR symbols against the protocol's reference
// encoder (wsprcode), Morse timing, the frame schedule and the tones' words.
#include "beacon/Beacon.h"
#include "beacon/Morse.h"
#include "beacon/Schedule.h"
#include "beacon/Wspr.h"
#include "core/Numbers.h"
#include "dds/Port.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <gtest/gtest.h>

#include <numeric>

using namespace kalimor;
using namespace kalimor::beacon;

namespace {

// "K1ABC FN42 37", "PJ4/K1ABC 37", "<PJ4/K1ABC> FK52UD 37": the message's
// type from its shape, as WSJT-X writes it.
std::optional<WsprMessage> encode(const QString& text, QString* why) {
    const QStringList w = text.split(QLatin1Char(' '));
    if (w.size() == 2) return encodeType2(w[0], w[1].toInt(), why);
    if (w[0].startsWith(QLatin1Char('<')))
        return encodeType3(w[0].mid(1).chopped(1), w[1], w[2].toInt(), why);
    return encodeType1(w[0], w[1], w[2].toInt(), why);
}

} // namespace

// Channel symbols as wsprcode (WSJT-X 2.6.1) prints them, among them the
// cases other encoders got wrong: a one-letter prefix-free call (Q1A), a
// short call padded at both ends, a call whose third character is a digit
// (AA0NT, 2E0ABC), a one-character suffix and a two-digit one.
TEST(Wspr, SymbolsAsTheReferenceEncoder) {
    struct Case {
        const char* message;
        const char* symbols;
    } cases[] = {
        {"K1ABC FN42 37",
         "33002000102013122210032313322020003201232200223211023321022132122203303030121021203213200"
         "3323032203020201023021112330231212221332000010320132222202332323320031222"},
        {"AA0NT EM18 20",
         "13200002302011100030232111300002223001230022201211203321000310302221301030323003003233202"
         "1321030223220203223221310310213010221110002210302110200222310303320011002"},
        {"PJ4/K1ABC 37",
         "31022000102213102010012313122022023003032202201013003101000332322201301030121003203211220"
         "3323030223022021023001310310031230021332000010120112222222132323102011022"},
        {"K1ABC/P 37",
         "31022000102211102010012111322202003001212202223013003301000132322201303230121003223213020"
         "1123230223020001023021312330011230021332000030120132002202330123122033020"},
        {"K1ABC/12 30",
         "33022002102011302210032113302020023003212002221013023303000130102203323232121001223213000"
         "3103030203220001221023112330233230223312202030122132020202132103322031020"},
        {"<PJ4/K1ABC> FK52UD 37",
         "33202222300213320230030313122022201203230020001031001321020310300021101010323021001013002"
         "1123032201202221203021310130211012201112222032122310020000310101100011202"},
        {"<K1ABC> FN42AX 37",
         "33222002322033322032210313322022201221012022203013221301202110300201123232303021003013202"
         "1323232201022223221201330130211012021312002210122132020220110101322231200"},
        {"G4JNT IO90 10",
         "33200000122231302212032311302022003001210002201013223103020112102021301232101001201011002"
         "3103212223200003203001310112233230001312220032322330222222132101122031222"},
        {"Q1A AA00 0",
         "31202220122013302030210331300200003003030020003031021321220132302003303212323021023033222"
         "3301210221020023021223132130031012021112220010302332000220112123302031020"},
        {"2E0ABC IO91 23",
         "11202202302011322212230311120022023023012002001031221101222330120203301012123223021233222"
         "3321030021020001003203312332231232201130220232102110220220312121300031000"},
    };
    for (const Case& c : cases) {
        QString why;
        const auto m = encode(QLatin1String(c.message), &why);
        ASSERT_TRUE(m) << c.message << ": " << qPrintable(why);
        EXPECT_EQ(m->text, QLatin1String(c.message));
        std::string got;
        for (auto s : m->symbols) got += char('0' + s);
        EXPECT_EQ(got, c.symbols) << c.message;
    }
}

TEST(Wspr, RefusesWhatTheProtocolCannotCarry) {
    struct Case {
        const char* call;
        const char* grid;
        int dbm;
    } cases[] = {{"K1ABCDEF", "FN42", 37}, {"KA", "FN42", 37},    {"K1ABC", "FN4", 37},
                 {"K1ABC", "ZZ42", 37},    {"K1ABC", "FN42", 38}, {"K1ABC", "FN42", 63},
                 {"PJ4K/K1ABC", "", 37},   {"K1ABC/PQ", "", 37},  {"K1ABC", "FN42A", 37}};
    for (const Case& c : cases) {
        QString why;
        EXPECT_FALSE(wsprMessages(QLatin1String(c.call), QLatin1String(c.grid), c.dbm, &why))
            << c.call << " " << c.grid << " " << c.dbm;
        EXPECT_FALSE(why.isEmpty());
    }
}

TEST(Wspr, SixCharacterLocatorsAlternateWithTheHashedForm) {
    QString why;
    const auto plain = wsprMessages(QStringLiteral("K1ABC"), QStringLiteral("FN42AX"), 37, &why);
    ASSERT_TRUE(plain);
    ASSERT_EQ(plain->size(), 2u);
    EXPECT_EQ((*plain)[0].text, QStringLiteral("K1ABC FN42 37"));
    EXPECT_EQ((*plain)[1].text, QStringLiteral("<K1ABC> FN42AX 37"));
    const auto compound =
        wsprMessages(QStringLiteral("PJ4/K1ABC"), QStringLiteral("FK52UD"), 37, &why);
    ASSERT_TRUE(compound);
    EXPECT_EQ((*compound)[0].text, QStringLiteral("PJ4/K1ABC 37"));
    EXPECT_EQ((*compound)[1].text, QStringLiteral("<PJ4/K1ABC> FK52UD 37"));
}

// Each symbol at its own time from the frame's start, so nothing accumulates:
// the last at 161 x 8192/12000 s and off at 110.592 s; each tone's word the
// nearest one at the clock.
TEST(Wspr, TonesOnTheirTimesAndTheNearestWords) {
    QString why;
    const auto m = encodeType1(QStringLiteral("K1ABC"), QStringLiteral("FN42"), 37, &why);
    const auto tones = wsprTones(m->symbols, 14'095'600, 1500);
    ASSERT_EQ(tones.size(), 163u);
    EXPECT_EQ(tones[161].at.count(), 109'909'333'333);
    EXPECT_EQ(tones[162].at.count(), 110'592'000'000);
    EXPECT_TRUE(tones[162].off);
    for (const Tone& t : tones) {
        EXPECT_GE(t.hz, 14'097'100 - 1.5 * WsprToneSpacingHz - 1e-6);
        EXPECT_LE(t.hz, 14'097'100 + 1.5 * WsprToneSpacingHz + 1e-6);
    }
}

// What the beacon sends, as the board received it: each edge's word the
// nearest one at the calibrated clock it was given (no round one), powered
// down where the key is up, and the output off at the end.
TEST(Beacon, SendsTheNearestWordsAtItsClock) {
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    dds::SimulatedBoard simulated;
    dds::board().setPort(&simulated);
    BeaconSetup setup;
    setup.mode = BeaconSetup::Mode::Cw;
    setup.text = QStringLiteral("K1");
    setup.ditSeconds = 0.002;
    setup.keying = Keying::Dfcw;
    setup.shiftHz = 7.3;
    setup.dialsHz = {7'030'000.4};
    setup.once = true;
    const double clock = 125'001'733.3, step = clock / 4294967296.0;
    bool finished = false;
    {
        Beacon beacon(setup, clock, 0);
        QObject::connect(&beacon, &Beacon::finished, &app, [&] { finished = true; });
        QString why;
        ASSERT_TRUE(beacon.start(&why)) << qPrintable(why);
        QDeadlineTimer deadline(10'000);
        while (!finished && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    dds::board().setPort(nullptr);
    ASSERT_TRUE(finished);
    QString why;
    const auto tones = morseTones(*morse(setup.text, &why), setup.dialsHz[0], setup.ditSeconds,
                                  setup.keying, setup.shiftHz);
    const auto& loads = simulated.loads();
    ASSERT_EQ(loads.size(), tones.size() + 1);
    for (std::size_t i = 0; i < tones.size(); ++i) {
        EXPECT_LE(std::fabs(loads[i].ftw * step - tones[i].hz), step / 2) << i;
        EXPECT_EQ(loads[i].powerDown, tones[i].off) << i;
    }
    EXPECT_TRUE(loads.back().powerDown);
}

TEST(Morse, ParisIsFiftyUnits) {
    QString why;
    const auto e = morse(QStringLiteral("PARIS"), &why);
    ASSERT_TRUE(e);
    EXPECT_EQ(std::accumulate(e->begin(), e->end(), 0,
                              [](int n, const KeyElement& k) { return n + k.units; }),
              50);
    EXPECT_FALSE(morse(QStringLiteral("K1ABC ~"), &why));
    EXPECT_DOUBLE_EQ(ditSecondsForWpm(20), 0.06);
}

// "E E": a dit, a word's space, a dit, a word's space, keyed three ways.
TEST(Morse, KeyingKinds) {
    QString why;
    const auto e = *morse(QStringLiteral("E T"), &why);
    struct Case {
        Keying keying;
        std::vector<std::pair<double, bool>>
            edges; // (offset from the dial, off) at 0, 1, ... units
    } cases[] = {
        {Keying::OnOff, {{0, false}, {0, true}, {0, false}, {0, true}}},
        {Keying::Fsk, {{5, false}, {0, false}, {5, false}, {0, false}}},
        {Keying::Dfcw, {{0, false}, {0, true}, {5, false}, {0, true}}},
    };
    for (const Case& c : cases) {
        const auto tones = morseTones(e, 1000, 1, c.keying, 5);
        ASSERT_EQ(tones.size(), c.edges.size());
        for (size_t i = 0; i < tones.size(); ++i) {
            EXPECT_EQ(tones[i].hz - 1000, c.edges[i].first) << int(c.keying) << " " << i;
            EXPECT_EQ(tones[i].off, c.edges[i].second) << int(c.keying) << " " << i;
        }
    }
    // On-off: the dah starts after the dit and a word's space (1 + 7 units).
    EXPECT_EQ(morseTones(e, 1000, 1, Keying::OnOff, 0)[2].at.count(), 8'000'000'000);
}

TEST(Schedule, FramesStartOneSecondAfterAnEvenMinute) {
    using namespace std::chrono;
    const auto base = UtcClock::time_point(minutes(29'000'000)); // an even minute
    struct Case {
        milliseconds now, start;
    } cases[] = {
        {milliseconds(0), seconds(1)},                 // before the start
        {milliseconds(1500), seconds(1)},              // half a second late: still this one
        {milliseconds(2001), minutes(2) + seconds(1)}, // more than 1 s late: skipped
        {seconds(61), minutes(2) + seconds(1)},        // an odd minute
        {seconds(119), minutes(2) + seconds(1)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(nextWsprStart(base + c.now) - base, c.start) << c.now.count();
}

TEST(Schedule, TransmitPercentageOverManyFrames) {
    std::mt19937 random(7);
    for (int percent : {0, 20, 100}) {
        int sent = 0;
        for (int i = 0; i < 20000; ++i) sent += transmitThisFrame(random, percent);
        EXPECT_NEAR(sent / 200.0, percent, 1.0) << percent;
    }
}
