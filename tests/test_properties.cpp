#include "GuiFixture.h"
#include "app/Kalimor.h"
#include "dialogs/FormProp.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace kalimor;

class PropertiesTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<GuiFixture> fx;
    std::unique_ptr<Kalimor> w;

    FormProp* openDialog() {
        w->findChild<QAction*>(QStringLiteral("MainMenuProp"))->trigger();
        return w->findChild<FormProp*>(QStringLiteral("FormProp"));
    }
    static QLineEdit* edit(FormProp* d, const char* name) {
        return d->findChild<QLineEdit*>(QLatin1String(name));
    }
    static QString stored(const char* key) {
        CSetting s;
        return s.GetSettingStr(QStringLiteral("Configuration"), QLatin1String(key),
                               QStringLiteral("<none>"));
    }
    // Deletion of a closed dialog happens on the next turn of the event loop.
    void settle() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

private Q_SLOTS:
    void initTestCase() { GuiFixture::home(); }
    void init() {
        fx = std::make_unique<GuiFixture>();
        w = std::make_unique<Kalimor>();
    }
    void cleanup() {
        w.reset();
        fx.reset();
    }

    void loadsTheCurrentValues() {
        FormProp* d = openDialog();
        QVERIFY(d);
        QCOMPARE(edit(d, "txtRefClkMHz")->text(), QStringLiteral(" 100"));
        QCOMPARE(edit(d, "txtPortAddr")->text(), QStringLiteral("3FE"));
        QCOMPARE(d->findChild<QCheckBox*>(QStringLiteral("ChkCWS"))->checkState(), Qt::Unchecked);
        QVERIFY(!d->isModal());
        QCOMPARE(openDialog(), d); // the same window, brought forward
        QCOMPARE(d->size(), QSize(210, 169));
    }

    void referenceClockTexts_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("accepted"); // 0: rejected
        QTest::newRow("as loaded") << " 100" << 100;
        QTest::newRow("0.5 rounds to 0") << "0.5" << 0;
        QTest::newRow("1.5 rounds to 2") << "1.5" << 2;
        QTest::newRow("125.4") << "125.4" << 125;
        QTest::newRow("125.5 rounds to 126") << "125.5" << 0;
        QTest::newRow("12abc") << "12abc" << 12;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("99999") << "99999" << 0;
        QTest::newRow("1e999") << "1e999" << 0;
    }
    void referenceClockTexts() {
        QFETCH(QString, text);
        QFETCH(int, accepted);
        QPointer<FormProp> d = openDialog();
        edit(d, "txtRefClkMHz")->setText(text);
        edit(d, "txtPortAddr")->setText(QStringLiteral("378"));
        d->cmdOK_Click();
        settle();
        if (accepted) {
            QVERIFY(fx->messages.isEmpty());
            QVERIFY(!d);
            QCOMPARE(Globals::RefClkHz, accepted * 1e6);
            QCOMPARE(stored("ReferenceClkMHz"), QString::number(accepted));
            QCOMPARE(stored("PortAddr"), QStringLiteral("888"));
            QCOMPARE(stored("OptionCWS"), QStringLiteral("0"));
        } else {
            QCOMPARE(fx->messages,
                     QStringList{"Invalid Value: Reference Clock must be between 1 and 125"});
            QVERIFY(d);
            QCOMPARE(edit(d, "txtRefClkMHz")->text(), text);
            QCOMPARE(Globals::RefClkHz, 100e6);
            QCOMPARE(stored("ReferenceClkMHz"), QStringLiteral("<none>"));
        }
    }

    void portTexts_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port"); // -1: rejected
        QTest::newRow("3FF") << "3FF" << 1023;
        QTest::newRow("400") << "400" << -1;
        QTest::newRow("3fe") << "3fe" << 1022;
        QTest::newRow("378h") << "378h" << 888;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("xyz") << "xyz" << 0;
        QTest::newRow("0x378") << "0x378" << 0;
        QTest::newRow("8000 is negative") << "8000" << -1;
        QTest::newRow("10000") << "10000" << -1;
    }
    void portTexts() {
        QFETCH(QString, text);
        QFETCH(int, port);
        QPointer<FormProp> d = openDialog();
        edit(d, "txtPortAddr")->setText(text);
        d->cmdOK_Click();
        settle();
        if (port >= 0) {
            QVERIFY(!d);
            QCOMPARE(Globals::PortAddress, std::int16_t(port));
        } else {
            QCOMPARE(fx->messages,
                     QStringList{"Invalid Value: Port address must be between 0 and $3FF"});
            QCOMPARE(Globals::PortAddress, std::int16_t(1022));
        }
    }

    void onlyTheClockMessageWhenBothAreWrong() {
        FormProp* d = openDialog();
        edit(d, "txtRefClkMHz")->setText(QStringLiteral("0"));
        edit(d, "txtPortAddr")->setText(QStringLiteral("400"));
        d->cmdOK_Click();
        QCOMPARE(fx->messages.size(), 1);
        QVERIFY(fx->messages[0].contains(QStringLiteral("Reference Clock")));
    }

    void enterFromEveryControlRunsOk_data() {
        QTest::addColumn<QString>("control");
        for (const char* c : {"txtRefClkMHz", "txtPortAddr", "ChkCWS", "cmdCancel", "cmdOK"})
            QTest::newRow(c) << c;
    }
    void enterFromEveryControlRunsOk() {
        QFETCH(QString, control);
        QPointer<FormProp> d = openDialog();
        edit(d, "txtRefClkMHz")->setText(QStringLiteral("50"));
        QTest::keyClick(d->findChild<QWidget*>(control), Qt::Key_Return);
        settle();
        QVERIFY(!d);
        QCOMPARE(Globals::RefClkHz, 50e6);
    }

    void escapeAndCancelChangeNothing() {
        QPointer<FormProp> d = openDialog();
        edit(d, "txtRefClkMHz")->setText(QStringLiteral("50"));
        QTest::keyClick(edit(d, "txtRefClkMHz"), Qt::Key_Escape);
        settle();
        QVERIFY(d);
        QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("cmdCancel")), Qt::LeftButton);
        settle();
        QVERIFY(!d);
        QCOMPARE(Globals::RefClkHz, 100e6);
        QCOMPARE(stored("ReferenceClkMHz"), QStringLiteral("<none>"));
        QCOMPARE(edit(openDialog(), "txtRefClkMHz")->text(),
                 QStringLiteral(" 100")); // reloaded afresh
    }

    void refusedWriteChangesNoGlobal() {
        QVERIFY(QDir().mkpath(GuiFixture::storeFile())); // a store that cannot be replaced
        QPointer<FormProp> d = openDialog();
        edit(d, "txtRefClkMHz")->setText(QStringLiteral("50"));
        d->cmdOK_Click();
        settle();
        QVERIFY(QDir().rmdir(GuiFixture::storeFile()));
        QVERIFY(d);
        QCOMPARE(fx->messages.size(), 1);
        QVERIFY(fx->messages[0].startsWith(QStringLiteral("Kalimor Properties: ")));
        QVERIFY(fx->messages[0].contains(QStringLiteral("0x80040202")));
        QVERIFY(fx->messages[0].contains(QStringLiteral("CSetting.SaveSettingInt")));
        QCOMPARE(Globals::RefClkHz, 100e6);
    }

    void oddStoredOptionIsKept() {
        Globals::OptionCWS = 5;
        QPointer<FormProp> d = openDialog();
        QCOMPARE(d->findChild<QCheckBox*>(QStringLiteral("ChkCWS"))->checkState(),
                 Qt::PartiallyChecked);
        d->cmdOK_Click();
        QCOMPARE(stored("OptionCWS"), QStringLiteral("5"));
        d = openDialog();
        d->findChild<QCheckBox*>(QStringLiteral("ChkCWS"))->setCheckState(Qt::Checked);
        d->cmdOK_Click();
        QCOMPARE(Globals::OptionCWS, std::int16_t(1));
    }

    void nextSendUsesTheNewClockAndPort() {
        fx->board->clearLoads();
        FormProp* d = openDialog();
        edit(d, "txtRefClkMHz")->setText(QStringLiteral("125"));
        edit(d, "txtPortAddr")->setText(QStringLiteral("378"));
        d->cmdOK_Click();
        QVERIFY2(fx->board->loads().empty(), "nothing is re-sent by OK");
        w->findChild<QLineEdit*>(QStringLiteral("txtFreq"))->setText(QStringLiteral("1000"));
        QCOMPARE(fx->board->loads().size(), size_t(1));
        QCOMPARE(fx->board->loads().back().ftw, 34360u);
        QCOMPARE(fx->board->lastAddress(), 0x378);
    }
};

QTEST_MAIN(PropertiesTest)
#include "test_properties.moc"
