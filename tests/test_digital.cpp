// Tools > Digital Modes...: driven by its keys and clicks, following a tone
// WAV onto the simulated board, keyed by VOX or by a client's CAT through the
// main program's server, and letting the board go when it ends.
#include "GuiFixture.h"
#include "ToneWav.h"
#include "app/Kalimor.h"
#include "app/RemoteControl.h"
#include "beacon/FormBeacon.h"
#include "core/Numbers.h"
#include "digital/FormDigital.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace kalimor;

class DigitalTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<GuiFixture> fx;
    std::unique_ptr<Kalimor> w;
    QTemporaryDir dir;

    FormDigital* open() {
        w->findChild<QAction*>(QStringLiteral("MainMenuDigital"))->trigger();
        return w->findChild<FormDigital*>(QStringLiteral("FormDigital"));
    }
    template <typename T> static T* child(QWidget* in, const char* name) {
        return in->findChild<T*>(QLatin1String(name));
    }
    static QString text(QWidget* in, const char* name) { return child<QLabel>(in, name)->text(); }
    // "WAV file..." by the keyboard, the path typed into the file chooser.
    static void chooseWav(FormDigital* d, const QString& path) {
        auto* poll = new QTimer(d);
        connect(poll, &QTimer::timeout, poll, [poll, path] {
            auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!chooser) return;
            poll->stop();
            poll->deleteLater();
            // In its folder, as a click on the side panel puts it; the name by keys.
            chooser->setDirectory(QFileInfo(path).absolutePath());
            auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            QTest::keyClicks(name, QFileInfo(path).fileName());
            QTest::keyClick(name, Qt::Key_Return);
        });
        poll->start(10);
        auto* source = child<QComboBox>(d, "cboSource");
        source->setFocus();
        QTest::keyClick(source, Qt::Key_End);
        QCOMPARE(source->currentData().toString(), QStringLiteral("wav:") + path);
    }
    static void typeDial(FormDigital* d, const QString& mhz) {
        auto* dial = child<QLineEdit>(d, "txtDial");
        QTest::keyClick(dial, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(dial, mhz);
    }
    // The output on at `hz` in some load since `from`, to the meter's 0.05 Hz.
    bool onAt(double hz, std::size_t from = 0) const {
        const auto& loads = fx->board->loads();
        const auto want = tuningWord(hz, Globals::RefClkHz);
        for (std::size_t i = from; i < loads.size(); ++i)
            if (!loads[i].powerDown && std::abs(std::int64_t(loads[i].ftw) - want) <= 2)
                return true;
        return false;
    }
    bool offAndLetGo() const {
        return fx->board->loads().back().powerDown &&
               dds::board().controller() == dds::Controller::Vfo;
    }

private Q_SLOTS:
    void initTestCase() { GuiFixture::home(); }
    void init() {
        fx = std::make_unique<GuiFixture>();
        w = std::make_unique<Kalimor>();
        w->show();
    }
    void cleanup() {
        w.reset();
        fx.reset();
    }

    // VOX: dial + 1500 Hz on while the file plays, the level and the tone
    // shown, another controller refused in the follower's own words; at the
    // end of the file the output is off and the board the main window's.
    void voxFollowsAWav() {
        const QString wav = dir.filePath(QStringLiteral("vox.wav"));
        QVERIFY(writeToneWav(wav, 1500, 1.5));
        FormDigital* d = open();
        QVERIFY(d);
        chooseWav(d, wav);
        typeDial(d, QStringLiteral("14.074"));
        QTest::keyClick(child<QComboBox>(d, "cboKeying"), Qt::Key_Down); // VOX
        QTest::mouseClick(child<QPushButton>(d, "cmdStart"), Qt::LeftButton);
        QVERIFY2(d->running(), qPrintable(fx->messages.join(QLatin1Char('\n'))));

        QTRY_VERIFY_WITH_TIMEOUT(onAt(14'075'500), 5000);
        QTRY_VERIFY(text(d, "lblTone").startsWith(QStringLiteral("1500.0")));
        QCOMPARE(text(d, "lblOutput"), QStringLiteral("On"));
        QCOMPARE(text(d, "lblPtt"), QStringLiteral("On (VOX)"));
        auto* level = child<QProgressBar>(d, "barLevel");
        QVERIFY2(std::abs(level->value() + 90) <= 5, qPrintable(level->text())); // -9 dB
        QVERIFY(level->text().endsWith(QStringLiteral(" dB")));

        w->findChild<QAction*>(QStringLiteral("MainMenuBeacon"))->trigger();
        auto* b = w->findChild<FormBeacon*>(QStringLiteral("FormBeacon"));
        b->findChild<QComboBox*>(QStringLiteral("cboMode"))->setCurrentIndex(6); // QRSS60
        b->findChild<QLineEdit*>(QStringLiteral("txtText"))->setText(QStringLiteral("K"));
        b->cmdStart_Click();
        QCOMPARE(fx->messages,
                 QStringList{"Beacon: The digital-modes follower is transmitting: stop it first"});

        QTRY_VERIFY_WITH_TIMEOUT(!d->running(), 5000);
        QVERIFY(offAndLetGo());
        QCOMPARE(text(d, "lblOutput"), QStringLiteral("Stopped: the file has ended"));
        QVERIFY(child<QPushButton>(d, "cmdStart")->isEnabled());
    }

    // CAT: the main server's T and F reach the follower while the window
    // follows, and the main window again once it is closed; the window
    // remembers its fields.
    void catThroughTheMainServer() {
        RemoteControl remote(*w);
        rig::Session session(remote);
        auto ask = [&](const char* line) {
            bool quit = false;
            return session.handle(line, &quit);
        };
        const QString wav = dir.filePath(QStringLiteral("cat.wav"));
        QVERIFY(writeToneWav(wav, 1500, 5));
        FormDigital* d = open();
        chooseWav(d, wav);
        typeDial(d, QStringLiteral("14.074"));
        QTest::mouseClick(child<QPushButton>(d, "cmdStart"), Qt::LeftButton);
        QVERIFY2(d->running(), qPrintable(fx->messages.join(QLatin1Char('\n'))));

        QTest::qWait(100);
        QVERIFY(!onAt(14'075'500)); // a tone without T 1 is not sent
        QCOMPARE(ask("T 1"), std::string("RPRT 0\n"));
        QTRY_VERIFY_WITH_TIMEOUT(onAt(14'075'500), 5000);
        QCOMPARE(ask("F 7074000"), std::string("RPRT 0\n"));
        QTRY_VERIFY_WITH_TIMEOUT(onAt(7'075'500), 5000);
        QCOMPARE(ask("f"), std::string("7074000\n"));
        QCOMPARE(ask("t"), std::string("1\n"));
        QTRY_COMPARE(text(d, "lblPtt"), QStringLiteral("On (T 1)"));
        QCOMPARE(ask("T 0"), std::string("RPRT 0\n"));
        QVERIFY(offAndLetGo());

        QCOMPARE(ask("T 1"), std::string("RPRT 0\n"));
        QTRY_VERIFY(dds::board().controller() != dds::Controller::Vfo);
        d->close();
        QVERIFY(offAndLetGo());
        const std::size_t after = fx->board->loads().size();
        QCOMPARE(ask("T 1"), std::string("RPRT 0\n")); // the main window's PTT, remembered
        QCOMPARE(ask("F 7040000"), std::string("RPRT 0\n"));
        QCOMPARE(w->findChild<QLineEdit*>(QStringLiteral("txtFreq"))->text(),
                 QStringLiteral("7.04"));
        QVERIFY(!onAt(7'075'500, after));

        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        d = open();
        QCOMPARE(child<QComboBox>(d, "cboSource")->currentData().toString(),
                 QStringLiteral("wav:") + wav);
        QCOMPARE(child<QLineEdit>(d, "txtDial")->text(), QStringLiteral("14.074"));
    }
};

QTEST_MAIN(DigitalTest)
#include "test_digital.moc"
