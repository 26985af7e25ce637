// One controller holds the board at a time, and what a client reads is what
// the board holds: the main window, the sweep window and the analyser
// crossed with a client's set and read, checked on the simulated board and
// in every window's display.
#include "GuiFixture.h"
#include "analyser/FormAnalyser.h"
#include "app/Kalimor.h"
#include "app/RemoteControl.h"
#include "beacon/Beacon.h"
#include "beacon/FormBeacon.h"
#include "core/Numbers.h"
#include "sweep/FormSweep.h"
#include "ui/Holders.h"

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
    // The controllers, each started as its user starts it.
    enum Who { Vfo, Sweep, Analyser, BeaconWindow, BeaconCli, Morse, Ptt, WhoCount };
    std::unique_ptr<beacon::Beacon> cliBeacon;
    // What its user is told when it is refused; empty when it started.
    QString start(int who) {
        auto told = [&](const std::string& reply) {
            return reply == "RPRT 0\n" ? QString() : QString::fromStdString(reply).trimmed();
        };
        fx->messages.clear();
        switch (who) {
        case Vfo:
            return told(ask("F 7040000"));
        case Sweep:
            w->findChild<QPushButton*>(QStringLiteral("cmdSweep"))->click();
            sweep = w->sweepWindow();
            break;
        case Analyser:
            runAnalyser();
            break;
        case BeaconWindow: {
            w->findChild<QAction*>(QStringLiteral("MainMenuBeacon"))->trigger();
            auto* b = w->findChild<FormBeacon*>(QStringLiteral("FormBeacon"));
            b->findChild<QComboBox*>(QStringLiteral("cboMode"))->setCurrentIndex(6); // QRSS60
            b->findChild<QLineEdit*>(QStringLiteral("txtText"))->setText(QStringLiteral("K"));
            b->findChild<QLineEdit*>(QStringLiteral("txtDials"))->setText(QStringLiteral("10.14"));
            b->cmdStart_Click();
            break;
        }
        case BeaconCli: {
            beacon::BeaconSetup s;
            s.mode = beacon::BeaconSetup::Mode::Qrss;
            s.text = QStringLiteral("K");
            s.ditSeconds = 60;
            s.dialsHz = {14e6};
            s.kind = dds::Controller::Kind::BeaconCli;
            cliBeacon = std::make_unique<beacon::Beacon>(s, Globals::RefClkHz, 0);
            QString why;
            return cliBeacon->start(&why) ? QString() : why;
        }
        case Morse:
            return told(ask("b TEST TEST TEST"));
        case Ptt:
            remote->setPttKeysOutput(true);
            return told(ask("T 1"));
        }
        return fx->messages.join(QLatin1Char('\n'));
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
        cliBeacon.reset();
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

    // Every controller against every other's start: the second is refused
    // with the holder named (a client gets "command rejected"), the holder
    // keeps the board, and nothing but the holder's own words is loaded. A
    // client's F while PTT keys retunes the carrier, as on a transceiver.
    void secondStartIsRefused_data() {
        QTest::addColumn<int>("holder");
        QTest::addColumn<int>("second");
        QTest::addColumn<double>("holderHz"); // what the holder loads, if anything
        const char* names[] = {"VFO",          "sweep",          "analyser", "beacon window",
                               "command line", "client's Morse", "PTT"};
        const double loads[] = {0, 0, 0, 10.14e6, 14e6, 1000, 1000};
        for (int holder = Sweep; holder < WhoCount; ++holder)
            for (int second = Vfo; second < WhoCount; ++second)
                if (second != holder && !(holder == Ptt && second == Vfo))
                    QTest::addRow("%s, then %s", names[holder], names[second])
                        << holder << second << loads[holder];
    }
    void secondStartIsRefused() {
        QFETCH(int, holder);
        QFETCH(int, second);
        QFETCH(double, holderHz);
        QCOMPARE(start(holder), QString());
        const dds::Controller held = dds::board().controller();
        QVERIFY(held != dds::Controller::Vfo);
        const std::uint64_t before = fx->board->loadCount();

        const QString told = start(second);
        const QString byName = ui::refusalText(held);
        if (second == Vfo || second == Morse || second == Ptt)
            QCOMPARE(told, QStringLiteral("RPRT -9"));
        else
            QVERIFY2(told.endsWith(byName), qPrintable(told + " / " + byName));
        QVERIFY(dds::board().controller() == held);
        const auto& all = fx->board->loads();
        const std::uint64_t added = fx->board->loadCount() - before;
        for (std::uint64_t k = 0; k < added && k < all.size(); ++k)
            QCOMPARE(all[all.size() - 1 - k].ftw, std::uint32_t(tuningWord(holderHz, 100e6)));
    }

    // PTT keying: off from start-up until T 1, a change while off goes out
    // keyed down, T 0 is off at once; reads answer the dial throughout.
    void pttKeysTheOutput() {
        w.reset();
        remote = std::make_unique<RemoteControl>();
        remote->setPttKeysOutput(true);
        session = std::make_unique<rig::Session>(*remote);
        w = std::make_unique<Kalimor>();
        remote->attach(*w);
        const struct {
            const char* line;
            const char* reply;
            double hz;
            bool off;
        } steps[] = {
            {"f", "1000\n", 1000, true}, // start-up
            {"F 7050000", "RPRT 0\n", 7.05e6, true},
            {"T 1", "RPRT 0\n", 7.05e6, false},
            {"t", "1\n", 7.05e6, false},
            {"F 7060000", "RPRT 0\n", 7.06e6, false},
            {"T 0", "RPRT 0\n", 7.06e6, true},
            {"f", "7060000\n", 7.06e6, true},
            {"F 7050000", "RPRT 0\n", 7.05e6, true},
            {"t", "0\n", 7.05e6, true},
        };
        for (const auto& step : steps) {
            QCOMPARE(ask(step.line), std::string(step.reply));
            const auto& last = fx->board->loads().back();
            QCOMPARE(last.ftw, std::uint32_t(tuningWord(step.hz, 100e6)));
            QCOMPARE(last.powerDown, step.off);
        }
    }

    // Key-down by PTT or a client's Morse ends at the time-out: off, `t` 0,
    // and the reason on the status line.
    void transmitTimeOut_data() {
        QTest::addColumn<QString>("line");
        QTest::newRow("PTT") << "T 1";
        QTest::newRow("client's Morse") << "b TEST TEST TEST TEST TEST TEST TEST TEST TEST TEST";
    }
    void transmitTimeOut() {
        QFETCH(QString, line);
        remote->setPttKeysOutput(true);
        remote->setTransmitTimeout(std::chrono::milliseconds(300));
        QCOMPARE(ask(qPrintable(line)), std::string("RPRT 0\n"));
        QTRY_VERIFY_WITH_TIMEOUT(status().startsWith(QStringLiteral("Transmit time-out")), 20000);
        QCOMPARE(ask("t"), std::string("0\n"));
        QVERIFY(!remote->morseBusy());
        QVERIFY(fx->board->loads().back().powerDown);
        QVERIFY(dds::board().controller() == dds::Controller::Vfo);
    }

    // The keyer's queue is bounded, all clients together, and a keyer that
    // cannot key at the dial says so: nothing queued either way.
    void keyerRefusesWhatItCannotSend() {
        const std::string k1000 = "b " + std::string(1000, 'E');
        for (int i = 0; i < 4; ++i) QCOMPARE(ask(k1000.c_str()), std::string("RPRT 0\n"));
        rig::Session other(*remote);
        bool quit = false;
        QCOMPARE(other.handle("b " + std::string(97, 'E'), &quit), std::string("RPRT -3\n"));
        QCOMPARE(other.handle("b " + std::string(96, 'E'), &quit), std::string("RPRT 0\n"));
        QCOMPARE(ask("b E"), std::string("RPRT -3\n"));
        QCOMPARE(ask("\\stop_morse"), std::string("RPRT 0\n"));
        QVERIFY(!remote->morseBusy());

        const double clock = Globals::RefClkHz;
        Globals::RefClkHz = 1000; // the dial, 1 kHz, is beyond its half
        QCOMPARE(ask("b TEST"), std::string("RPRT -1\n"));
        Globals::RefClkHz = clock;
        QVERIFY(!remote->morseBusy());
        QVERIFY(dds::board().controller() == dds::Controller::Vfo);
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
