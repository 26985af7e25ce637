#include "GuiFixture.h"
#include "app/Kalimor.h"
#include "dds/Board.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QtTest>

using namespace kalimor;

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<GuiFixture> fx;
    std::unique_ptr<Kalimor> w;
    QLineEdit* txtFreq = nullptr;
    QScrollBar* HSFreq = nullptr;
    QScrollBar* VSPhase = nullptr;
    QLabel* lblResult = nullptr;
    QLabel* lblPhase = nullptr;

    void open() {
        w = std::make_unique<Kalimor>();
        txtFreq = w->findChild<QLineEdit*>(QStringLiteral("txtFreq"));
        HSFreq = w->findChild<QScrollBar*>(QStringLiteral("HSFreq"));
        VSPhase = w->findChild<QScrollBar*>(QStringLiteral("VSPhase"));
        lblResult = w->findChild<QLabel*>(QStringLiteral("lblResult"));
        lblPhase = w->findChild<QLabel*>(QStringLiteral("lblPhase"));
        QVERIFY(txtFreq && HSFreq && VSPhase && lblResult && lblPhase);
    }
    // A new run of the program: zeroed globals, the store as it is on disk.
    void restart(std::initializer_list<std::pair<const char*, const char*>> stored) {
        w.reset();
        Globals::reset();
        for (auto [key, value] : stored) GuiFixture::store(key, QString::fromLatin1(value));
        fx->board->clearLoads();
        open();
    }
    void selectUnit(int index) {
        w->findChildren<QRadioButton*>(QStringLiteral("optFreqMult")).at(index)->click();
    }
    std::vector<dds::DdsState> loads() const { return fx->board->loads(); }

private Q_SLOTS:
    void initTestCase() { GuiFixture::home(); }
    void init() {
        fx = std::make_unique<GuiFixture>();
        open();
    }
    void cleanup() {
        w.reset();
        fx.reset();
    }

    void startsOnThousandHertz() {
        QCOMPARE(Globals::RefClkHz, 100e6);
        QCOMPARE(Globals::PortAddress, std::int16_t(1022));
        QCOMPARE(Globals::OptionCWS, std::int16_t(0));
        QCOMPARE(Globals::FreqUnit, QStringLiteral("Hz"));
        QVERIFY(w->findChildren<QRadioButton*>(QStringLiteral("optFreqMult")).at(2)->isChecked());
        QCOMPARE(txtFreq->text(), QStringLiteral("1000.0"));
        QCOMPARE(HSFreq->value(), 10000);
        QCOMPARE(lblResult->text(), QStringLiteral("0xA7C6"));
        QVERIFY(GuiFixture::isButtonFace(lblResult));
        QCOMPARE(lblPhase->text(), QStringLiteral("0"));
        QCOMPARE(loads().size(), size_t(2));
        for (const auto& l : loads()) {
            QCOMPARE(l.ftw, 42950u);
            QCOMPARE(l.phase, 0);
            QCOMPARE(l.powerDown, false);
        }
        QCOMPARE(fx->board->lastAddress(), 1022);
        QCOMPARE(w->focusWidget() == txtFreq || !w->isVisible(), true);
        QVERIFY(fx->messages.isEmpty());
    }

    void rangeAndWord_data() {
        QTest::addColumn<int>("unit");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("inRange");
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("label");
        QTest::newRow("Hz 0.1") << 2 << "0.1" << true << 1 << "0x4";
        QTest::newRow("Hz 0.05") << 2 << "0.05" << false << 0 << "Between 0.1Hz and 3,000Hz";
        QTest::newRow("Hz 3000") << 2 << "3000" << true << 30000 << "0x1F751";
        QTest::newRow("Hz 3000.1") << 2 << "3000.1" << false << 0 << "Between 0.1Hz and 3,000Hz";
        QTest::newRow("Hz tie 1000.05") << 2 << "1000.05" << true << 10000 << "0xA7C8";
        QTest::newRow("KHz 300") << 1 << "300" << true << 30000 << "0xC49BA6";
        QTest::newRow("KHz 300.01") << 1 << "300.01" << false << 0 << "Between 0.1Hz and 300,000Hz";
        QTest::newRow("MHz 30") << 0 << "30" << true << 30000 << "0x4CCCCCCD";
        QTest::newRow("MHz 30.001")
            << 0 << "30.001" << false << 0 << "Between 0.1Hz and 30,000,000Hz";
        QTest::newRow("MHz 0.002") << 0 << "0.002" << true << 2 << "0x14F8B";
    }
    void rangeAndWord() {
        QFETCH(int, unit);
        QFETCH(QString, text);
        QFETCH(bool, inRange);
        QFETCH(int, position);
        QFETCH(QString, label);
        selectUnit(unit);
        fx->board->clearLoads();
        txtFreq->setText(text);
        QCOMPARE(lblResult->text(), label);
        QCOMPARE(HSFreq->value(), position);
        QCOMPARE(txtFreq->text(), text);
        QCOMPARE(loads().size(), size_t(1));
        QCOMPARE(loads().back().powerDown, !inRange);
        QCOMPARE(Globals::PowerDown, std::int16_t(inRange ? 0 : 1));
        QCOMPARE(GuiFixture::isRed(lblResult), !inRange);
        if (inRange)
            QCOMPARE(QStringLiteral("0x") + QString::number(loads().back().ftw, 16).toUpper(),
                     label);
        else
            QCOMPARE(loads().back().ftw, 0u);
    }

    void unitSwitchKeepsTheFrequencyToTheNewResolution() {
        txtFreq->setText(QStringLiteral("1234.5"));
        fx->board->clearLoads();
        selectUnit(0);
        QCOMPARE(txtFreq->text(), QStringLiteral("0.001"));
        QCOMPARE(HSFreq->value(), 1);
        QCOMPARE(HSFreq->pageStep(), 1000);
        QCOMPARE(loads().size(), size_t(1));
        QCOMPARE(loads().back().ftw, 42950u); // 1000 Hz, not 1234.5
        selectUnit(2);
        QCOMPARE(txtFreq->text(), QStringLiteral("1000.0"));
        QCOMPARE(HSFreq->value(), 10000);

        selectUnit(0);
        txtFreq->setText(QStringLiteral("10"));
        selectUnit(2);
        QCOMPARE(txtFreq->text(), QStringLiteral("10000000.0"));
        QVERIFY(GuiFixture::isRed(lblResult));
        QCOMPARE(Globals::FreqHz, 0.0);
    }

    void lettersSendNothing() {
        fx->board->clearLoads();
        QTest::keyClicks(txtFreq, QStringLiteral("x"));
        QCOMPARE(txtFreq->text(), QStringLiteral("1000.0x"));
        QVERIFY(loads().empty());
        QCOMPARE(Globals::PowerDown, std::int16_t(1));
        QCOMPARE(lblResult->text(), QStringLiteral("Between 0.1Hz and 3,000Hz"));
        QVERIFY(w->failureCause().contains(QStringLiteral("not a number")));
        QCOMPARE(lblResult->toolTip(), w->failureCause());
        QTest::keyClick(txtFreq, Qt::Key_Backspace);
        QCOMPARE(loads().size(), size_t(1));
        QVERIFY(w->failureCause().isEmpty());
        QVERIFY(lblResult->toolTip().isEmpty());
    }

    void emptiedBoxPowersDownTwice() {
        fx->board->clearLoads();
        txtFreq->selectAll();
        QTest::keyClick(txtFreq, Qt::Key_Delete);
        QCOMPARE(txtFreq->text(), QStringLiteral("0.0"));
        QCOMPARE(loads().size(), size_t(2));
        for (const auto& l : loads()) {
            QCOMPARE(l.ftw, 0u);
            QVERIFY(l.powerDown);
        }
    }

    void dragFollowsOnlyWithTheOption_data() {
        QTest::addColumn<int>("cws");
        QTest::newRow("off") << 0;
        QTest::newRow("on") << 1;
    }
    void dragFollowsOnlyWithTheOption() {
        QFETCH(int, cws);
        Globals::OptionCWS = static_cast<std::int16_t>(cws);
        fx->board->clearLoads();
        HSFreq->setSliderDown(true);
        HSFreq->setSliderPosition(12345);
        HSFreq->setSliderPosition(12346);
        QCOMPARE(loads().size(), size_t(cws ? 2 : 0));
        QCOMPARE(txtFreq->text(), cws ? QStringLiteral("1234.6") : QStringLiteral("1000.0"));
        HSFreq->setSliderDown(false);
        QCOMPARE(txtFreq->text(), QStringLiteral("1234.6"));
        QCOMPARE(loads().size(), size_t(cws ? 2 : 1));
        QCOMPARE(loads().back().ftw, 53026u); // 1234.6 Hz
    }

    // The bars are reached by Tab in the window's order and moved by keys as
    // their arrows, pages and ends would move them.
    void scrollBarsByKeyboard_data() {
        QTest::addColumn<QString>("bar");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("shown");
        QTest::newRow("freq right") << "HSFreq" << int(Qt::Key_Right) << 10001 << "1000.1";
        QTest::newRow("freq left") << "HSFreq" << int(Qt::Key_Left) << 9999 << "999.9";
        QTest::newRow("freq page down") << "HSFreq" << int(Qt::Key_PageDown) << 10010 << "1001.0";
        QTest::newRow("freq end") << "HSFreq" << int(Qt::Key_End) << 30000 << "3000.0";
        QTest::newRow("freq home") << "HSFreq" << int(Qt::Key_Home) << 0 << "0.0";
        QTest::newRow("phase down") << "VSPhase" << int(Qt::Key_Down) << 1 << "11.25";
        QTest::newRow("phase page down") << "VSPhase" << int(Qt::Key_PageDown) << 1 << "11.25";
        QTest::newRow("phase end") << "VSPhase" << int(Qt::Key_End) << 31 << "348.75";
    }
    void scrollBarsByKeyboard() {
        QFETCH(QString, bar);
        QFETCH(int, key);
        QFETCH(int, value);
        QFETCH(QString, shown);
        w->show();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        QScrollBar* target = bar == QLatin1String("HSFreq") ? HSFreq : VSPhase;
        // Exit is just before VSPhase in the tab order, then HSFreq.
        w->findChild<QPushButton*>(QStringLiteral("cmdExit"))->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        if (target == HSFreq) QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), target);
        fx->board->clearLoads();
        QTest::keyClick(target, Qt::Key(key));
        QCOMPARE(target->value(), value);
        QCOMPARE(target == HSFreq ? txtFreq->text() : lblPhase->text(), shown);
        QCOMPARE(loads().size(), size_t(1));
    }

    // A real drag of the thumb: with tracking off the frequency follows on
    // release, or all the way with the option on.
    void scrollBarsByMouseDrag() {
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        for (QScrollBar* bar : {HSFreq, VSPhase}) {
            QStyleOptionSlider opt;
            opt.initFrom(bar);
            opt.orientation = bar->orientation();
            opt.minimum = bar->minimum();
            opt.maximum = bar->maximum();
            opt.sliderPosition = bar->sliderPosition();
            opt.sliderValue = bar->value();
            opt.singleStep = bar->singleStep();
            opt.pageStep = bar->pageStep();
            const QRect thumb = bar->style()->subControlRect(QStyle::CC_ScrollBar, &opt,
                                                             QStyle::SC_ScrollBarSlider, bar);
            QVERIFY2(thumb.isValid(), "no thumb to drag");
            const QPoint from = thumb.center();
            const QPoint to = bar == HSFreq ? from + QPoint(40, 0) : from + QPoint(0, 12);
            const int before = bar->value();
            fx->board->clearLoads();
            QTest::mousePress(bar, Qt::LeftButton, {}, from);
            QMouseEvent move(QEvent::MouseMove, to, bar->mapToGlobal(to), Qt::NoButton,
                             Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(bar, &move);
            QVERIFY2(bar->isSliderDown(), qPrintable(bar->objectName()));
            QCOMPARE(bar->value(), before); // tracking is off until release
            QTest::mouseRelease(bar, Qt::LeftButton, {}, to);
            QVERIFY2(bar->value() > before, qPrintable(bar->objectName()));
            QCOMPARE(loads().size(), size_t(1));
        }
    }

    void scrollBarEnds() {
        HSFreq->setValue(0);
        QCOMPARE(txtFreq->text(), QStringLiteral("0.0"));
        QVERIFY(GuiFixture::isRed(lblResult));
        QVERIFY(loads().back().powerDown);
        HSFreq->setValue(1);
        QCOMPARE(txtFreq->text(), QStringLiteral("0.1"));
        QCOMPARE(loads().back().ftw, 4u);
        selectUnit(1);
        HSFreq->setValue(30000);
        QCOMPARE(txtFreq->text(), QStringLiteral("300.00"));
        QVERIFY(!loads().back().powerDown);
    }

    void phaseStepsAreSent() {
        fx->board->clearLoads();
        VSPhase->setValue(31);
        QCOMPARE(lblPhase->text(), QStringLiteral("348.75"));
        QCOMPARE(loads().back().phase, 31);
        QCOMPARE(loads().back().ftw, 42950u);
        VSPhase->setValue(1);
        QCOMPARE(lblPhase->text(), QStringLiteral("11.25"));
        VSPhase->setValue(0);
        QCOMPARE(lblPhase->text(), QStringLiteral("0.00"));
    }

    void failingPortSendsNothingAndSaysWhy() {
        FailingPort failing;
        setPortBackend(&failing);
        txtFreq->setText(QStringLiteral("2000"));
        QCOMPARE(failing.attempts, 1);
        QVERIFY(GuiFixture::isRed(lblResult));
        QCOMPARE(lblResult->text(), QStringLiteral("Between 0.1Hz and 3,000Hz"));
        QCOMPARE(Globals::PowerDown, std::int16_t(1));
        QVERIFY(w->failureCause().contains(QStringLiteral("add your user to group lp")));
        setPortBackend(fx->board.get());
        txtFreq->setText(QStringLiteral("2001"));
        QVERIFY(w->failureCause().isEmpty());
        QCOMPARE(Globals::PowerDown, std::int16_t(0));
    }

    void zeroReferenceClockFails() {
        Globals::RefClkHz = 0;
        fx->board->clearLoads();
        txtFreq->setText(QStringLiteral("2000"));
        QVERIFY(loads().empty());
        QVERIFY(GuiFixture::isRed(lblResult));
        QVERIFY(w->failureCause().contains(QStringLiteral("reference clock is 0 Hz")));
    }

    void wordBeyond31BitsFails() {
        Globals::RefClkHz = 50e6;
        selectUnit(0);
        fx->board->clearLoads();
        txtFreq->setText(QStringLiteral("25"));
        QVERIFY(loads().empty());
        QCOMPARE(HSFreq->value(), 25000); // moved before the word was found too large
        QCOMPARE(lblResult->text(), QStringLiteral("Between 0.1Hz and 30,000,000Hz"));
    }

    void storedSettingsAreUsed() {
        restart({{"ReferenceClkMHz", "125"}, {"PortAddr", "888"}, {"OptionCWS", "1"}});
        QCOMPARE(Globals::RefClkHz, 125e6);
        QCOMPARE(Globals::PortAddress, std::int16_t(888));
        QCOMPARE(Globals::OptionCWS, std::int16_t(1));
        QCOMPARE(fx->board->lastAddress(), 888);
        QCOMPARE(loads().size(), size_t(2));
        QCOMPARE(loads().back().ftw, 34360u);
    }

    // A stored value that is not a number, or out of the range Properties
    // allows, is reported and replaced by its default before the board
    // sees it.
    void badStoredValuesAreReportedAndReplaced_data() {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("clock not a number") << QByteArray("ReferenceClkMHz") << QByteArray("abc");
        QTest::newRow("clock negative") << QByteArray("ReferenceClkMHz") << QByteArray("-100");
        QTest::newRow("clock too high") << QByteArray("ReferenceClkMHz") << QByteArray("200");
        QTest::newRow("clock zero") << QByteArray("ReferenceClkMHz") << QByteArray("0");
        QTest::newRow("port not a number") << QByteArray("PortAddr") << QByteArray("x378");
        QTest::newRow("port negative") << QByteArray("PortAddr") << QByteArray("-5");
        QTest::newRow("port too high") << QByteArray("PortAddr") << QByteArray("2000");
        QTest::newRow("option not a number") << QByteArray("OptionCWS") << QByteArray("yes");
    }
    void badStoredValuesAreReportedAndReplaced() {
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, value);
        restart({{key.constData(), value.constData()}});
        QCOMPARE(fx->messages.size(), 1);
        QVERIFY(fx->messages[0].contains(QString::fromLatin1(key)));
        QVERIFY(fx->messages[0].contains(QString::fromLatin1(value)));
        QCOMPARE(Globals::RefClkHz, 100e6);
        QCOMPARE(Globals::PortAddress, std::int16_t(1022));
        QCOMPARE(Globals::OptionCWS, std::int16_t(0));
        QCOMPARE(fx->board->lastAddress(), 1022);
        QCOMPARE(loads().back().ftw, 42950u); // 1000 Hz at 100 MHz
    }

    // The chip chosen in Edit > Board...: an AD9851 with its multiplier runs
    // at six times the crystal and says so with W32; over 30 MHz it cannot.
    void chipProfiles_data() {
        QTest::addColumn<QString>("chip");
        QTest::addColumn<QString>("crystal");
        QTest::addColumn<double>("clockHz");
        QTest::addColumn<int>("w32");
        QTest::addColumn<int>("messages");
        QTest::newRow("AD9851 x6 at 30 MHz") << "AD9851x6"
                                             << "30" << 180e6 << 1 << 0;
        QTest::newRow("AD9851 at 30 MHz") << "AD9851"
                                          << "30" << 30e6 << 0 << 0;
        QTest::newRow("AD9850 at 125 MHz") << "AD9850"
                                           << "125" << 125e6 << 0 << 0;
        QTest::newRow("AD9851 x6 at 31 MHz is refused") << "AD9851x6"
                                                        << "31" << 31e6 << 0 << 1;
        QTest::newRow("unknown chip") << "AD9999"
                                      << "100" << 100e6 << 0 << 1;
    }
    void chipProfiles() {
        QFETCH(QString, chip);
        QFETCH(QString, crystal);
        QFETCH(double, clockHz);
        QFETCH(int, w32);
        QFETCH(int, messages);
        GuiFixture::store("Chip", chip);
        restart({{"ReferenceClkMHz", qPrintable(crystal)}});
        QCOMPARE(fx->messages.size(), messages);
        selectUnit(0);
        txtFreq->setText(QStringLiteral("7.04"));
        QCOMPARE(loads().back().ftw, quint32(std::llround(7.04e6 * 4294967296.0 / clockHz)));
        QCOMPARE(int(loads().back().control & 1), w32);
        QCOMPARE(int(loads().back().control & 2), 0); // W33 stays 0
        GuiFixture::store("Chip", QStringLiteral("AD9850"));
        dds::board().setChip({});
    }

    void damagedStoreStillStarts() {
        restart({{"PortAddr", "70000"}});
        QCOMPARE(fx->messages.size(), 1);
        QVERIFY(fx->messages[0].contains(QStringLiteral("PortAddr")));
        QVERIFY(fx->messages[0].contains(QStringLiteral("not a whole number from 0 to 1023")));
        QCOMPARE(Globals::PortAddress, std::int16_t(1022));
        QCOMPARE(loads().size(), size_t(2));
    }

    void exitEndsWithoutSending() {
        fx->board->clearLoads();
        QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("cmdExit")), Qt::LeftButton);
        QCOMPARE(fx->endRequests, 1);
        w->findChild<QAction*>(QStringLiteral("MainMenuExit"))->trigger();
        QCOMPARE(fx->endRequests, 2);
        QVERIFY(loads().empty());
    }

    void layoutFollowsTheDesign() {
        auto* frame = w->findChild<QWidget*>(QStringLiteral("frmDDSControl"));
        // 32 px wider than first drawn, for the range message beside the phase;
        // 3 px taller, the controls under the frame's line.
        QCOMPARE(frame->geometry(), QRect(8, 40, 289, 100));
        QCOMPARE(txtFreq->geometry(), QRect(8, 19, 73, 19));
        QCOMPARE(w->findChild<QWidget*>(QStringLiteral("client"))->size(), QSize(305, 178));
        QVERIFY(!(w->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(!(w->windowFlags() & Qt::WindowMinimizeButtonHint));
        QCOMPARE(w->minimumSize(), w->maximumSize());
        const QStringList menus = {QStringLiteral("MainMenuExit"), QStringLiteral("MainMenuProp"),
                                   QStringLiteral("MainMenuAbout"),
                                   QStringLiteral("MainMenuCorvane"),
                                   QStringLiteral("MainMenuPortIO")};
        for (const QString& name : menus) QVERIFY2(w->findChild<QAction*>(name), qPrintable(name));
    }
};

QTEST_MAIN(MainWindowTest)
#include "test_mainwindow.moc"
