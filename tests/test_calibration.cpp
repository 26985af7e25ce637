#include "GuiFixture.h"
#include "app/Kalimor.h"
#include "app/RemoteControl.h"
#include "core/Calibration.h"
#include "core/Numbers.h"
#include "dialogs/FormCalibrate.h"
#include "dialogs/FormProp.h"
#include "net/RigctlSession.h"

#include "sweep/FormSweep.h"

#include <QAction>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

using namespace kalimor;

class CalibrationTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<GuiFixture> fx;
    std::unique_ptr<Kalimor> w;

    void restart(std::initializer_list<std::pair<const char*, const char*>> stored) {
        w.reset();
        Globals::reset();
        for (auto [key, value] : stored) GuiFixture::store(key, QString::fromLatin1(value));
        fx->board->clearLoads();
        w = std::make_unique<Kalimor>();
    }
    FormCalibrate* openDialog() {
        w->findChild<QAction*>(QStringLiteral("MainMenuCalibrate"))->trigger();
        return w->findChild<FormCalibrate*>(QStringLiteral("FormCalibrate"));
    }
    static QString stored() {
        CSetting s;
        return s.GetSettingStr(QStringLiteral("Configuration"), QStringLiteral("ReferenceClkPPM"),
                               QStringLiteral("<none>"));
    }
    QLineEdit* txtFreq() { return w->findChild<QLineEdit*>(QStringLiteral("txtFreq")); }
    QString statusLine() { return w->findChild<QLabel*>(QStringLiteral("statusCause"))->text(); }

private Q_SLOTS:
    void initTestCase() { GuiFixture::home(); }
    void init() {
        fx = std::make_unique<GuiFixture>();
        w = std::make_unique<Kalimor>();
        fx->board->clearLoads();
    }
    void cleanup() {
        w.reset();
        fx.reset();
    }

    void formulasBothWays() {
        QCOMPARE(calibratedClockHz(100e6, 50), 100005000.0);
        QCOMPARE(calibratedClockHz(100e6, 0), 100e6);
        QVERIFY(qAbs(ppmBetween(100005000, 100e6) - 50) < 1e-9);
        QVERIFY(qAbs(ppmBetween(calibratedClockHz(125e6, -12.5), 125e6) + 12.5) < 1e-9);
        const std::int32_t word = tuningWord(10e6, 100e6);
        QVERIFY(qAbs(clockFromMeasurement(producedHz(word, 100005000), word) - 100005000) < 1e-6);
        QCOMPARE(producedReadout(42950, 100e6, 1000), QStringLiteral("1,000.008 Hz (+0.008 Hz)"));
        QCOMPARE(producedReadout(tuningWord(1000.01, 100e6), 100e6, 1000.01),
                 QStringLiteral("1,000.008 Hz (-0.002 Hz)"));
    }

    void withoutTheKeyNothingChanges() {
        QCOMPARE(Globals::RefClkPPM, 0.0);
        QCOMPARE(Globals::RefClkHz, 100e6);
        QCOMPARE(stored(), QStringLiteral("<none>"));
        QCOMPARE(statusLine(), QStringLiteral("1,000.008 Hz (+0.008 Hz)"));
        QVERIFY(w->failureCause().isEmpty());
    }

    void storedCorrectionIsApplied() {
        restart({{"ReferenceClkMHz", "125"}, {"ReferenceClkPPM", "-20.5"}});
        QCOMPARE(Globals::RefClkHz, 125e6 * (1 - 20.5e-6));
        QCOMPARE(fx->board->loads().back().ftw,
                 static_cast<std::uint32_t>(tuningWord(1000, 125e6 * (1 - 20.5e-6))));
        QVERIFY(fx->messages.isEmpty());
    }

    void storedNonsenseRunsUncalibrated() {
        restart({{"ReferenceClkPPM", "5000"}});
        QCOMPARE(Globals::RefClkHz, 100e6);
        QCOMPARE(fx->messages.size(), 1);
        QVERIFY(fx->messages[0].contains(QStringLiteral("uncalibrated")));
    }

    void typedCorrectionActsAtOnce() {
        FormCalibrate* d = openDialog();
        QVERIFY(d && !d->isModal());
        d->findChild<QLineEdit*>(QStringLiteral("txtPpm"))->setText(QStringLiteral("50"));
        QVERIFY(d->findChild<QLabel*>(QStringLiteral("lblClock"))
                    ->text()
                    .contains(QStringLiteral("100,005,000.000 Hz")));
        if (const QByteArray dir = qgetenv("KALIMOR_SHOTS"); !dir.isEmpty()) {
            d->grab().save(QString::fromLocal8Bit(dir) + "/FormCalibrate.png");
            w->grab().save(QString::fromLocal8Bit(dir) + "/Kalimor.png");
        }
        d->cmdOK_Click();
        QCOMPARE(stored(), QStringLiteral("50"));
        QCOMPARE(Globals::RefClkHz, 100005000.0);
        QCOMPARE(fx->board->loads().size(), size_t(1));
        QCOMPARE(fx->board->loads().back().ftw,
                 static_cast<std::uint32_t>(tuningWord(1000, 100005000.0)));
    }

    void measuredFrequencyMovesTheWord() {
        w->findChildren<QRadioButton*>(QStringLiteral("optFreqMult")).at(0)->click();
        txtFreq()->setText(QStringLiteral("10"));
        const std::int32_t sent = tuningWord(10e6, 100e6);
        QCOMPARE(fx->board->loads().back().ftw, static_cast<std::uint32_t>(sent));
        FormCalibrate* d = openDialog();
        QTest::keyClicks(d->findChild<QLineEdit*>(QStringLiteral("txtMeasured")),
                         QStringLiteral("10000500"));
        QVERIFY(d->findChild<QRadioButton*>(QStringLiteral("optMeasured"))->isChecked());
        d->cmdOK_Click();
        const double trueClock = 10000500.0 * 4294967296.0 / sent;
        QVERIFY(qAbs(Globals::RefClkHz - trueClock) < 1e-3);
        QCOMPARE(fx->board->loads().back().ftw,
                 static_cast<std::uint32_t>(tuningWord(10e6, trueClock)));
        QVERIFY(qAbs(stored().toDouble() - ppmBetween(trueClock, 100e6)) < 1e-6);
        // The readout now shows what the corrected word produces.
        QVERIFY(statusLine().startsWith(QStringLiteral("10,000,000.0")) ||
                statusLine().startsWith(QStringLiteral("9,999,999.9")));

        // rigctld keeps answering the requested frequency, not the readout.
        RemoteControl remote(*w);
        rig::Session session(remote);
        bool quit = false;
        QCOMPARE(session.handle("f", &quit), std::string("10000000\n"));
    }

    // After a sweep the board holds the last tick's word, not the main
    // window's: the counter reading is held against that word.
    void measuredAfterASweepUsesTheWordTheBoardHolds() {
        w->findChild<QPushButton*>(QStringLiteral("cmdSweep"))->click();
        FormSweep* sweep = w->sweepWindow();
        QVERIFY(sweep);
        sweep->findChildren<QLineEdit*>(QStringLiteral("txtFreq")).at(0)->setText("2000");
        sweep->setClocked(false);
        sweep->findChild<QPushButton*>(QStringLiteral("cmdStart"))->click();
        for (int i = 0; i < 5; ++i) sweep->swpTimer_Timer();
        sweep->findChild<QPushButton*>(QStringLiteral("cmdDone"))->click();
        const std::uint32_t held = fx->board->loads().back().ftw;
        QCOMPARE(held, static_cast<std::uint32_t>(tuningWord(1000.4, 100e6)));
        const double heldHz = held * 100e6 / 4294967296.0;
        FormCalibrate* d = openDialog();
        // A board 50 ppm fast reads 50 ppm high on the counter.
        QTest::keyClicks(d->findChild<QLineEdit*>(QStringLiteral("txtMeasured")),
                         QString::number(heldHz * (1 + 50e-6), 'f', 4));
        d->cmdOK_Click();
        QVERIFY2(qAbs(stored().toDouble() - 50) < 0.5, qPrintable(stored()));
    }

    // OK while a sweep runs sends nothing of the hidden main window's; the
    // sweep's next tick uses the corrected clock.
    void okDuringASweepLeavesTheLoadsToTheSweep() {
        FormCalibrate* d = openDialog();
        w->findChild<QPushButton*>(QStringLiteral("cmdSweep"))->click();
        FormSweep* sweep = w->sweepWindow();
        sweep->setClocked(false);
        sweep->findChild<QPushButton*>(QStringLiteral("cmdStart"))->click();
        sweep->swpTimer_Timer();
        fx->board->clearLoads();
        QTest::keyClicks(d->findChild<QLineEdit*>(QStringLiteral("txtPpm")), QStringLiteral("100"));
        d->cmdOK_Click();
        QVERIFY(fx->board->loads().empty());
        sweep->swpTimer_Timer();
        QCOMPARE(fx->board->loads().size(), size_t(1));
        const double hz = sweep->findChild<QLabel*>(QStringLiteral("TxtSwpCurFreq"))
                              ->text()
                              .split(QLatin1Char(' '))
                              .first()
                              .toDouble();
        QCOMPARE(fx->board->loads().back().ftw,
                 static_cast<std::uint32_t>(tuningWord(hz, calibratedClockHz(100e6, 100))));
        sweep->findChild<QPushButton*>(QStringLiteral("cmdDone"))->click();
    }

    void badInput_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        QTest::newRow("letters") << "txtPpm"
                                 << "abc";
        QTest::newRow("empty") << "txtPpm"
                               << "";
        QTest::newRow("too large") << "txtPpm"
                                   << "1001";
        QTest::newRow("too small") << "txtPpm"
                                   << "-1000.5";
        QTest::newRow("measured zero") << "txtMeasured"
                                       << "0";
        QTest::newRow("measured negative") << "txtMeasured"
                                           << "-5";
        QTest::newRow("measured letters") << "txtMeasured"
                                          << "lots";
        QTest::newRow("measured far off") << "txtMeasured"
                                          << "1100";
    }
    void badInput() {
        QFETCH(QString, field);
        QFETCH(QString, text);
        QPointer<FormCalibrate> d = openDialog();
        QLineEdit* edit = d->findChild<QLineEdit*>(field);
        edit->clear();
        QTest::keyClicks(edit, text);
        if (text.isEmpty()) d->findChild<QRadioButton*>(QStringLiteral("optPpm"))->setChecked(true);
        d->cmdOK_Click();
        QCOMPARE(fx->messages.size(), 1);
        QVERIFY(fx->messages[0].startsWith(QStringLiteral("Invalid Value: ")));
        QVERIFY(d);
        QCOMPARE(Globals::RefClkHz, 100e6);
        QCOMPARE(stored(), QStringLiteral("<none>"));
        QVERIFY(fx->board->loads().empty());
    }

    void cancelChangesNothing() {
        QPointer<FormCalibrate> d = openDialog();
        d->findChild<QLineEdit*>(QStringLiteral("txtPpm"))->setText(QStringLiteral("10"));
        d->findChild<QPushButton*>(QStringLiteral("cmdCancel"))->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!d);
        QCOMPARE(Globals::RefClkHz, 100e6);
        QCOMPARE(stored(), QStringLiteral("<none>"));
    }

    void propertiesKeepTheCorrection() {
        restart({{"ReferenceClkPPM", "10"}});
        w->findChild<QAction*>(QStringLiteral("MainMenuProp"))->trigger();
        auto* prop = w->findChild<FormProp*>(QStringLiteral("FormProp"));
        QCOMPARE(prop->findChild<QLineEdit*>(QStringLiteral("txtRefClkMHz"))->text(),
                 QStringLiteral(" 100"));
        prop->findChild<QLineEdit*>(QStringLiteral("txtRefClkMHz"))->setText(QStringLiteral("50"));
        prop->cmdOK_Click();
        QCOMPARE(Globals::RefClkHz, 50e6 * (1 + 10e-6));
    }

    void germanLocaleStartsAndReads() {
        w.reset();
        Globals::reset();
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        fx->board->clearLoads();
        w = std::make_unique<Kalimor>();
        QCOMPARE(txtFreq()->text(), QStringLiteral("1000,0"));
        QCOMPARE(fx->board->loads().back().ftw, 42950u);
        txtFreq()->setText(QStringLiteral("0,05"));
        QCOMPARE(w->findChild<QLabel*>(QStringLiteral("lblResult"))->text(),
                 QStringLiteral("Between 0.1Hz and 3.000Hz"));
    }
};

QTEST_MAIN(CalibrationTest)
#include "test_calibration.moc"
