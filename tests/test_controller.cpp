// One controller holds the board at a time, and what a client reads is what
// the board holds: the main window, the sweep window and the analyser
// crossed with a client's set and read, checked on the simulated board and
// in every window's display.
#include "GuiFixture.h"
#include "analyser/FormAnalyser.h"
#include "app/Kalimor.h"
#include "app/RemoteControl.h"
#include "beacon/FormBeacon.h"
#include "core/Numbers.h"
#include "sweep/FormSweep.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

using namespace kalimor;

class ControllerTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<GuiFixture> fx;
    std::unique_ptr<Kalimor> w;
    std::unique_ptr<RemoteControl> remote;
    std::unique_ptr<rig::Session> session;
    QPointer<FormSweep> sweep;

    std::string ask(const char* line) {
        bool quit = false;
        return session->handle(line, &quit);
    }
    QString mainText() { return w->findChild<QLineEdit*>(QStringLiteral("txtFreq"))->text(); }
    QString status() {
        return w->findChild<ui::StatusText*>(QStringLiteral("statusCause"))->status();
    }
    QLineEdit* limit(int index) {
        for (auto* box : sweep->findChildren<QLineEdit*>(QStringLiteral("txtFreq")))
            if (box->property("Index").toInt() == index) return box;
        return nullptr;
    }
    void openSweep(const char* low, const char* high) {
        w->findChild<QPushButton*>(QStringLiteral("cmdSweep"))->click();
        sweep = w->sweepWindow();
        QVERIFY(sweep);
        sweep->setClocked(false);
        limit(1)->setText(QLatin1String(low));
        limit(0)->setText(QLatin1String(high));
    }
    FormAnalyser* analyser() {
        w->findChild<QAction*>(QStringLiteral("MainMenuAnalyser"))->trigger();
        return w->findChild<FormAnalyser*>(QStringLiteral("FormAnalyser"));
    }
    // A run that stays on its first point until stopped.
    FormAnalyser* runAnalyser() {
        FormAnalyser* a = analyser();
        a->findChild<QSpinBox*>(QStringLiteral("spnSettle"))->setValue(60000);
        a->cmdRun_Click();
        return a;
    }
    static std::string hz(std::uint32_t word) {
        return std::to_string(std::llround(word * 100e6 / 4294967296.0)) + "\n";
    }

private Q_SLOTS:
    void initTestCase() { GuiFixture::home(); }
    void init() {
        fx = std::make_unique<GuiFixture>();
        w = std::make_unique<Kalimor>();
        w->show();
        w->setRemoteStatus(QStringLiteral("rigctld on 127.0.0.1:4532, 1 client"));
        remote = std::make_unique<RemoteControl>(*w);
        session = std::make_unique<rig::Session>(*remote);
    }
    void cleanup() {
        delete sweep;
        session.reset();
        remote.reset();
        w.reset();
        fx.reset();
    }

    // Each holder against a client's set: only the VFO takes it; the others
    // refuse with "command rejected", nothing loads, no window changes, and
    // `f` answers the word the board holds.
    void setAndReadPerHolder_data() {
        QTest::addColumn<QString>("holder");
        QTest::newRow("main window") << "vfo";
        QTest::newRow("sweep window open") << "sweep open";
        QTest::newRow("sweep running") << "sweep running";
        QTest::newRow("analyser running") << "analyser";
        QTest::newRow("beacon sending") << "beacon";
    }
    void setAndReadPerHolder() {
        QFETCH(QString, holder);
        FormAnalyser* a = nullptr;
        if (holder.startsWith("sweep")) openSweep("1000", "3000");
        if (holder == "sweep running") {
            sweep->findChild<QPushButton*>(QStringLiteral("cmdStart"))->click();
            for (int i = 0; i < 3; ++i) sweep->swpTimer_Timer();
        }
        if (holder == "analyser") a = runAnalyser();
        FormBeacon* b = nullptr;
        if (holder == "beacon") {
            w->findChild<QAction*>(QStringLiteral("MainMenuBeacon"))->trigger();
            b = w->findChild<FormBeacon*>(QStringLiteral("FormBeacon"));
            b->findChild<QComboBox*>(QStringLiteral("cboMode"))->setCurrentIndex(6); // QRSS60
            b->findChild<QLineEdit*>(QStringLiteral("txtText"))->setText(QStringLiteral("K"));
            b->findChild<QLineEdit*>(QStringLiteral("txtDials"))->setText(QStringLiteral("10.14"));
            b->cmdStart_Click();
            QTRY_COMPARE(fx->board->loads().back().ftw, std::uint32_t(tuningWord(10.14e6, 100e6)));
        }
        const QString unit = holder.startsWith("sweep")
                                 ? sweep->findChild<QLabel*>(QStringLiteral("lblFreq"))->text()
                                 : QString();
        const QString shown = mainText();
        const std::uint64_t before = fx->board->loadCount();
        const std::uint32_t held = fx->board->loads().back().ftw;

        const bool vfo = holder == "vfo";
        QCOMPARE(ask("F 7040000"), std::string(vfo ? "RPRT 0\n" : "RPRT -9\n"));
        QCOMPARE(fx->board->loadCount(), before + (vfo ? 1 : 0));
        QCOMPARE(ask("f"), vfo ? std::string("7040000\n") : hz(held));
        QCOMPARE(mainText(), vfo ? QStringLiteral("7.04") : shown);
        const QString remoteLine =
            w->findChild<ui::StatusText*>(QStringLiteral("statusRemote"))->status();
        QCOMPARE(remoteLine.endsWith(QStringLiteral(": network sets refused")), !vfo);
        if (sweep) {
            QCOMPARE(sweep->findChild<QLabel*>(QStringLiteral("lblFreq"))->text(), unit);
            QCOMPARE(limit(1)->text(), QStringLiteral("1000"));
        }
        if (b) {
            b->cmdStop_Click();
            QCOMPARE(ask("F 7040000"), std::string("RPRT 0\n"));
        }
        if (a) {
            a->cmdStop_Click();
            // The analyser put back the word the board held before its run.
            QCOMPARE(fx->board->loads().back().ftw, std::uint32_t(tuningWord(1000, 100e6)));
            QCOMPARE(ask("F 7040000"), std::string("RPRT 0\n"));
        }
    }

    // A set while the sweep window is open leaves the limits' unit alone:
    // Start then sweeps the limits shown, not the client's megahertz.
    void startAfterARefusedSetSweepsTheLimitsShown() {
        openSweep("1000", "3000");
        QCOMPARE(ask("F 7040000"), std::string("RPRT -9\n"));
        sweep->findChild<QPushButton*>(QStringLiteral("cmdStart"))->click();
        sweep->swpTimer_Timer();
        QCOMPARE(fx->board->loads().back().ftw, std::uint32_t(tuningWord(1000, 100e6)));
    }

    // Done leaves the last tick on the board, which is what `f` answers and
    // what the main window says until it next sends.
    void afterDoneTheReadsAreTheLastTick() {
        const QString shown = mainText();
        openSweep("1000", "3000");
        sweep->findChild<QPushButton*>(QStringLiteral("cmdStart"))->click();
        for (int i = 0; i < 441; ++i) sweep->swpTimer_Timer();
        sweep->findChild<QPushButton*>(QStringLiteral("cmdStop"))->click();
        sweep->findChild<QPushButton*>(QStringLiteral("cmdDone"))->click();
        const std::uint32_t held = fx->board->loads().back().ftw;
        QCOMPARE(ask("f"), hz(held));
        QCOMPARE(mainText(), shown); // not re-sent
        QVERIFY2(status().startsWith(QStringLiteral("The board holds 1,043.989 Hz")),
                 qPrintable(status()));
        QCOMPARE(ask("F 2000"), std::string("RPRT 0\n"));
        QVERIFY2(status().startsWith(QStringLiteral("1,999.992 Hz")), qPrintable(status()));
    }

    void readAfterAFailedSetIsWhatTheBoardHolds() {
        FailingPort failing;
        setPortBackend(&failing);
        QCOMPARE(ask("F 7040000"), std::string("RPRT -6\n"));
        QCOMPARE(ask("f"), std::string("1000\n"));
        setPortBackend(fx->board.get());
    }

    // A second controller started from the windows is refused by name.
    void secondControllerIsRefusedByName() {
        FormAnalyser* a = analyser();
        openSweep("1000", "3000");
        fx->messages.clear();
        a->cmdRun_Click();
        QCOMPARE(fx->messages, QStringList{"Network Analyser: Close the sweep window first"});
        QVERIFY(!a->runner().running());
        sweep->findChild<QPushButton*>(QStringLiteral("cmdDone"))->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

        runAnalyser();
        fx->messages.clear();
        w->findChild<QPushButton*>(QStringLiteral("cmdSweep"))->click();
        QCOMPARE(fx->messages, QStringList{"Kalimor: Stop the network analyser's run first"});
        QVERIFY(!w->sweepWindow());
    }
};

QTEST_MAIN(ControllerTest)
#include "test_controller.moc"
