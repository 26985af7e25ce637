#include "GuiFixture.h"
#include "app/Kalimor.h"
#include "core/Numbers.h"
#include "sweep/FormSweep.h"

#include <QAction>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QtTest>

using namespace kalimor;

class SweepTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<GuiFixture> fx;
    std::unique_ptr<Kalimor> w;
    QPointer<FormSweep> s;

    template <typename T> T* child(const char* name, int index) {
        for (T* c : s->findChildren<T*>(QLatin1String(name)))
            if (c->property("Index").toInt() == index) return c;
        return nullptr;
    }
    QLineEdit* box(int i) { return child<QLineEdit>("txtFreq", i); }
    QScrollBar* bar(int i) { return child<QScrollBar>("HSFreq", i); }
    QLabel* result(int i) { return child<QLabel>("lblResult", i); }
    QLabel* current() { return s->findChild<QLabel*>(QStringLiteral("TxtSwpCurFreq")); }
    QPushButton* button(const char* name) {
        return s->findChild<QPushButton*>(QLatin1String(name));
    }

    void openSweep() {
        w->findChild<QPushButton*>(QStringLiteral("cmdSweep"))->click();
        s = w->sweepWindow();
        QVERIFY(s);
    }
    void start() {
        // Ticks are driven by the test, not the clock.
        s->setClocked(false);
        button("cmdStart")->click();
    }
    // Positions sent by the next n ticks.
    QList<int> ticks(int n) {
        QList<int> sent;
        for (int k = 0; k < n; ++k) {
            sent << s->sweep().SwpPos;
            s->swpTimer_Timer();
        }
        return sent;
    }
    void settle() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

private Q_SLOTS:
    void initTestCase() { GuiFixture::home(); }
    void init() {
        fx = std::make_unique<GuiFixture>();
        w = std::make_unique<Kalimor>();
        w->show();
        w->move(40, 30);
        openSweep();
        fx->board->clearLoads();
    }
    void cleanup() {
        delete s.data();
        w.reset();
        fx.reset();
    }

    void opensFromTheMainWindow() {
        QVERIFY(!w->isVisible());
        QVERIFY(s->isVisible());
        QCOMPARE(s->pos(), w->pos());
        QCOMPARE(s->windowTitle(), QStringLiteral("Sweep Generator"));
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(box(i)->text(), QStringLiteral("1000.0"));
            QCOMPARE(child<QLabel>("lblFreq", i)->text(), QStringLiteral("Hz"));
            QCOMPARE(result(i)->text(), QStringLiteral("0xA7C6"));
            QVERIFY(GuiFixture::isButtonFace(result(i)));
            QCOMPARE(bar(i)->value(), 10000);
        }
        QVERIFY(current()->text().isEmpty());
        QVERIFY(button("cmdStart")->isEnabled() && button("cmdDone")->isEnabled());
        QVERIFY(!button("cmdStop")->isEnabled());
        QVERIFY(!s->sweeping());
        QVERIFY(child<QRadioButton>("optSwpInc", 0)->isChecked());
        QVERIFY(fx->board->loads().empty());
    }

    void opensWithTheMainWindowOutOfRange() {
        delete s.data();
        w->show();
        w->findChild<QLineEdit*>(QStringLiteral("txtFreq"))->setText(QStringLiteral("5000"));
        openSweep();
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(result(i)->text(), QStringLiteral("Between 0.1Hz and 3,000Hz"));
            QVERIFY(GuiFixture::isRed(result(i)));
            QCOMPARE(bar(i)->value(), 0);
        }
    }

    void triangle_data() {
        QTest::addColumn<QString>("low");
        QTest::addColumn<QString>("high");
        QTest::addColumn<int>("increment");
        QTest::addColumn<QList<int>>("positions");
        QTest::newRow("worked example")
            << "1000.0"
            << "1000.5" << 0 << QList<int>{10000, 10001, 10002, 10003, 10004, 10005,
                                           10004, 10003, 10002, 10001, 10000, 10001};
        QTest::newRow("increment 10 passes High")
            << "1000.0"
            << "1002.5" << 1 << QList<int>{10000, 10010, 10020, 10030, 10020, 10010, 10000, 10010};
        QTest::newRow("equal limits") << "1000.0"
                                      << "1000.0" << 1 << QList<int>{10000, 9990, 10000, 9990};
        QTest::newRow("both rows in error") << "abc"
                                            << "xyz" << 0 << QList<int>{0, -1, 0, -1};
    }
    void triangle() {
        QFETCH(QString, low);
        QFETCH(QString, high);
        QFETCH(int, increment);
        QFETCH(QList<int>, positions);
        box(0)->setText(high);
        box(1)->setText(low);
        child<QRadioButton>("optSwpInc", increment)->click();
        start();
        QCOMPARE(ticks(static_cast<int>(positions.size())), positions);
        QCOMPARE(fx->board->loads().size(), size_t(positions.size()));
        for (qsizetype k = 0; k < positions.size(); ++k) {
            const std::int32_t word = tuningWord(positions[k] / 10.0, 100e6);
            QCOMPARE(fx->board->loads()[static_cast<size_t>(k)].ftw,
                     static_cast<std::uint32_t>(word));
        }
    }

    void lowScrolledAboveHigh() {
        bar(1)->setValue(10003);
        QCOMPARE(result(1)->text(),
                 QStringLiteral("High Frequency must be greater than Low Frequency"));
        QCOMPARE(bar(1)->value(), 10003);
        start();
        QCOMPARE(ticks(4), (QList<int>{10003, 10002, 10003, 10002}));
    }

    // The limits' bars are in the tab order and move by keys, as in the main
    // window.
    void limitBarsByKeyboard() {
        s->show();
        QVERIFY(QTest::qWaitForWindowActive(s));
        child<QRadioButton>("optSwpInc", 0)->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), bar(0));
        QTest::keyClick(bar(0), Qt::Key_Right);
        QCOMPARE(box(0)->text(), QStringLiteral("1000.1"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), bar(1));
        QTest::keyClick(bar(1), Qt::Key_End);
        QCOMPARE(box(1)->text(), QStringLiteral("3000.0"));
        QVERIFY(fx->board->loads().empty()); // limits send nothing
    }

    void firstTicksOfTheWorkedExample() {
        box(0)->setText(QStringLiteral("1000.5"));
        start();
        s->swpTimer_Timer();
        QCOMPARE(fx->board->loads().back().ftw, 42950u);
        QCOMPARE(current()->text(), QStringLiteral("1000.0 Hz"));
        s->swpTimer_Timer();
        QCOMPARE(fx->board->loads().back().ftw, 42954u);
        QCOMPARE(current()->text(), QStringLiteral("1000.1 Hz"));
        QVERIFY(!button("cmdStart")->isEnabled() && !button("cmdDone")->isEnabled());
        QVERIFY(button("cmdStop")->isEnabled());
        QVERIFY(s->sweeping());
    }

    void negativePositionsGoOutAsTheirBitPattern() {
        box(0)->setText(QStringLiteral("abc"));
        box(1)->setText(QStringLiteral("abc"));
        start();
        ticks(2);
        QCOMPARE(fx->board->loads().back().ftw, 0xFFFFFFFCu); // -0.1 Hz -> -4
        QCOMPARE(current()->text(), QStringLiteral("-0.1 Hz"));
    }

    void rowValidation_data() {
        QTest::addColumn<int>("unit");
        QTest::addColumn<double>("clock");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("label");
        QTest::addColumn<int>("position");
        QTest::newRow("tie rounds to even") << 2 << 100e6 << "1000.05"
                                            << "0xA7C8" << 10000;
        QTest::newRow("0.1 Hz accepted") << 2 << 100e6 << "0.1"
                                         << "0x4" << 1;
        QTest::newRow("0.09 Hz refused") << 2 << 100e6 << "0.09"
                                         << "Between 0.1Hz and 3,000Hz" << 0;
        QTest::newRow("3000 Hz accepted") << 2 << 100e6 << "3000"
                                          << "0x1F751" << 30000;
        QTest::newRow("letters") << 2 << 100e6 << "abc"
                                 << "Between 0.1Hz and 3,000Hz" << 0;
        QTest::newRow("KHz above max") << 1 << 100e6 << "300.01"
                                       << "Between 0.1Hz and 300,000Hz" << 0;
        QTest::newRow("MHz word beyond 31 bits") << 0 << 20e6 << "10.000"
                                                 << "Between 0.1Hz and 30,000,000Hz" << 0;
        QTest::newRow("MHz just below half the clock") << 0 << 20e6 << "9.999"
                                                       << "0x7FFCB924" << 9999;
    }
    void rowValidation() {
        QFETCH(int, unit);
        QFETCH(double, clock);
        QFETCH(QString, text);
        QFETCH(QString, label);
        QFETCH(int, position);
        delete s.data();
        w->show();
        w->findChildren<QRadioButton*>(QStringLiteral("optFreqMult")).at(unit)->click();
        Globals::RefClkHz = clock;
        openSweep();
        fx->board->clearLoads();
        // The High row takes the value so that the Low row stays below it.
        box(1)->setText(QStringLiteral("0.1"));
        box(0)->setText(text);
        QCOMPARE(result(0)->text(), label);
        QCOMPARE(bar(0)->value(), position);
        QCOMPARE(box(0)->text(), text);
        QCOMPARE(GuiFixture::isRed(result(0)), label.startsWith(QLatin1String("Between")));
        QVERIFY(fx->board->loads().empty());
    }

    void clearingABoxRefillsIt() {
        box(0)->clear();
        QCOMPARE(box(0)->text(), QStringLiteral("0.0"));
        QCOMPARE(result(0)->text(), QStringLiteral("Between 0.1Hz and 3,000Hz"));
    }

    void highLowMessageMarksOnlyTheEditedRow() {
        box(1)->setText(QStringLiteral("2000"));
        QCOMPARE(result(1)->text(),
                 QStringLiteral("High Frequency must be greater than Low Frequency"));
        QCOMPARE(bar(1)->value(), 10000); // stays where it was
        QCOMPARE(result(0)->text(), QStringLiteral("0xA7C6"));
        box(0)->setText(QStringLiteral("2500"));
        QCOMPARE(result(0)->text(), QStringLiteral("0x1A36E"));
        QVERIFY(GuiFixture::isRed(result(1)));
        QTest::keyClick(box(1), Qt::Key_Return);
        QCOMPARE(result(1)->text(), QStringLiteral("0x14F8B"));
        QCOMPARE(bar(1)->value(), 20000);
    }

    void editsDuringASweepActAtTheNextTick() {
        box(0)->setText(QStringLiteral("1000.5"));
        start();
        QCOMPARE(ticks(3), (QList<int>{10000, 10001, 10002}));
        bar(0)->setValue(10002);
        QCOMPARE(box(0)->text(), QStringLiteral("1000.2"));
        QCOMPARE(ticks(3), (QList<int>{10003, 10002, 10001}));
        child<QRadioButton>("optSwpInc", 1)->click();
        QCOMPARE(ticks(2), (QList<int>{10000, 10010})); // 10010 passes High and turns
    }

    void stopThenStartBeginsAtLow() {
        box(0)->setText(QStringLiteral("1000.5"));
        start();
        ticks(4);
        button("cmdStop")->click();
        QVERIFY(!s->sweeping());
        QCOMPARE(current()->text(), QStringLiteral("1000.3 Hz"));
        start();
        QCOMPARE(ticks(2), (QList<int>{10000, 10001}));
    }

    void powerDownIsCarriedIntoEveryLoad() {
        Globals::PowerDown = 1;
        Globals::PhaseStep = 7;
        start();
        ticks(3);
        for (const auto& l : fx->board->loads()) {
            QVERIFY(l.powerDown);
            QCOMPARE(l.phase, 7);
        }
    }

    void failedTickIsShownAndTheSweepGoesOn() {
        box(0)->setText(QStringLiteral("1000.2"));
        start();
        ticks(1);
        Globals::RefClkHz = 0;
        ticks(1);
        QCOMPARE(current()->text(), QStringLiteral("1000.1 Hz - not sent"));
        QVERIFY(s->findChild<QLabel*>(QStringLiteral("statusCause"))
                    ->text()
                    .contains(QStringLiteral("0 Hz")));
        QCOMPARE(fx->board->loads().size(), size_t(1));
        Globals::RefClkHz = 100e6;
        QCOMPARE(ticks(1), QList<int>{10002});
        QCOMPARE(fx->board->loads().size(), size_t(2));
        // The cause gives way at once to what the board now produces.
        QCOMPARE(s->findChild<QLabel*>(QStringLiteral("statusCause"))->text(),
                 QStringLiteral("1,000.194 Hz (-0.006 Hz)"));
    }

    void doneShowsTheMainWindowWithoutSending() {
        start();
        ticks(2);
        fx->board->clearLoads();
        button("cmdStop")->click();
        button("cmdDone")->click();
        settle();
        QVERIFY(!s);
        QVERIFY(w->isVisible());
        QVERIFY(fx->board->loads().empty());
        QCOMPARE(w->findChild<QLineEdit*>(QStringLiteral("txtFreq"))->text(),
                 QStringLiteral("1000.0"));
    }

    void closeBoxDoesWhatDoneDoes() {
        start();
        s->close();
        settle();
        QVERIFY(!s);
        QVERIFY(w->isVisible());
    }

    void dragWithAndWithoutTheOption() {
        bar(0)->setSliderDown(true);
        bar(0)->setSliderPosition(20000);
        QCOMPARE(box(0)->text(), QStringLiteral("1000.0"));
        bar(0)->setSliderDown(false);
        QCOMPARE(box(0)->text(), QStringLiteral("2000.0"));
        Globals::OptionCWS = 1;
        bar(0)->setSliderDown(true);
        bar(0)->setSliderPosition(25000);
        QCOMPARE(box(0)->text(), QStringLiteral("2500.0"));
        bar(0)->setSliderDown(false);
        QVERIFY(fx->board->loads().empty());
    }

    // The board's own clock: a real sweep ticks on its thread and tells the
    // window; Stop stops it and shows the last word sent.
    void theClockTicksForReal() {
        button("cmdStart")->click();
        QTRY_VERIFY_WITH_TIMEOUT(fx->board->loadCount() >= 3, 2000);
        QVERIFY(s->findChild<QLabel*>(QStringLiteral("statusSweep"))
                    ->text()
                    .startsWith(QStringLiteral("Sweep: ")));
        button("cmdStop")->click();
        const auto stopped = fx->board->loadCount();
        QTest::qWait(50);
        QCOMPARE(fx->board->loadCount(), stopped);
        const double shown = current()->text().split(QLatin1Char(' ')).first().toDouble();
        QCOMPARE(fx->board->loads().back().ftw,
                 quint32(std::llround(shown * 4294967296.0 / 100e6)));
    }
};

QTEST_MAIN(SweepTest)
#include "test_sweep.moc"
