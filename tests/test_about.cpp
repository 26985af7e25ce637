#include "GuiFixture.h"
#include "about/About.h"
#include "app/Kalimor.h"

#include <QAction>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

#include <functional>

using namespace kalimor;

class AboutTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<GuiFixture> fx;
    std::unique_ptr<Kalimor> w;
    QStringList seen; // the modal boxes met while the menu item ran, in order

    // Runs `then` on the modal box once it is up, as a user would act on it.
    void whenModal(std::function<void(QDialog*)> then) {
        QTimer::singleShot(0, this, [this, then] {
            auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QVERIFY(box);
            seen << box->objectName();
            then(box);
        });
    }
    static void saveShot(QWidget* box) {
        const QByteArray dir = qgetenv("KALIMOR_SHOTS");
        if (!dir.isEmpty())
            box->grab().save(QString::fromLocal8Bit(dir) + "/" + box->objectName() + ".png");
    }
    static void clickOk(QDialog* box) {
        saveShot(box);
        QTest::mouseClick(box->findChild<QPushButton*>(QStringLiteral("OnOK")), Qt::LeftButton);
    }

private Q_SLOTS:
    void initTestCase() { GuiFixture::home(); }
    void init() {
        fx = std::make_unique<GuiFixture>();
        w = std::make_unique<Kalimor>();
        w->show();
        w->move(5, 5);
        seen.clear();
    }
    void cleanup() {
        w.reset();
        fx.reset();
    }

    void versionComesFromTheProject() { QCOMPARE(versionLabel(), QStringLiteral("v1.0.9")); }

    void eachMenuItemOpensItsBoxModally_data() {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("title");
        QTest::newRow("About") << "MainMenuAbout"
                               << "About"
                               << "About Kalimor";
        QTest::newRow("Corvane") << "MainMenuCorvane"
                                 << "AboutCorvane"
                                 << "About Corvane";
        QTest::newRow("PortIO") << "MainMenuPortIO"
                                << "AboutPortIO"
                                << "About PortIO Driver";
    }
    void eachMenuItemOpensItsBoxModally() {
        QFETCH(QString, item);
        QFETCH(QString, box);
        QFETCH(QString, title);
        whenModal([&](QDialog* d) {
            QCOMPARE(d->windowTitle(), title);
            QVERIFY(d->isModal());
            QVERIFY(!d->parentWidget());
            QCOMPARE(d->focusWidget(), d->findChild<QWidget*>(QStringLiteral("OnOK")));
            const QRect screen = QGuiApplication::primaryScreen()->geometry();
            QVERIFY(qAbs(d->frameGeometry().center().x() - screen.center().x()) <= 1);
            QVERIFY(qAbs(d->frameGeometry().center().y() - screen.center().y()) <= 1);
            QCOMPARE(d->minimumSize(), d->maximumSize());
            // The main window takes no input meanwhile.
            QVERIFY(QApplication::activeModalWidget() == d &&
                    d->windowModality() == Qt::ApplicationModal);
            if (box == QLatin1String("About"))
                QCOMPARE(d->findChild<QLabel*>(QStringLiteral("lblVersion"))->text(),
                         QStringLiteral("v1.0.9"));
            clickOk(d);
        });
        w->findChild<QAction*>(item)->trigger();
        QCOMPARE(seen, QStringList{box});
        QVERIFY(!QApplication::activeModalWidget());
    }

    void driverBoxStacksOnAboutAndClosesBoth() {
        whenModal([&](QDialog* about) {
            whenModal([&](QDialog* driver) {
                QVERIFY(about->isVisible());
                clickOk(driver);
            });
            QTest::mouseClick(about->findChild<QPushButton*>(QStringLiteral("CmdAboutPortIO")),
                              Qt::LeftButton);
            QVERIFY(!about->isVisible());
        });
        w->findChild<QAction*>(QStringLiteral("MainMenuAbout"))->trigger();
        QCOMPARE(seen, (QStringList{"About", "AboutPortIO"}));
        QVERIFY(!QApplication::activeModalWidget());
    }

    void escapeAndEnterClose_data() {
        QTest::addColumn<int>("key");
        QTest::newRow("Enter") << int(Qt::Key_Return);
        QTest::newRow("Esc") << int(Qt::Key_Escape);
    }
    void escapeAndEnterClose() {
        QFETCH(int, key);
        whenModal([&](QDialog* d) { QTest::keyClick(d->focusWidget(), Qt::Key(key)); });
        w->findChild<QAction*>(QStringLiteral("MainMenuCorvane"))->trigger();
        QCOMPARE(seen.size(), 1);
        QVERIFY(!QApplication::activeModalWidget());
    }

    void driverBoxNamesThePortInUse() {
        AboutPortIO box;
        QVERIFY(box.findChild<QLabel*>(QStringLiteral("Label1"))
                    ->text()
                    .contains(QStringLiteral("Simulated board")));
        QVERIFY(!box.findChild<QLabel*>(QStringLiteral("Label1"))
                     ->text()
                     .contains(QStringLiteral("DriverLINX")));
    }
};

QTEST_MAIN(AboutTest)
#include "test_about.moc"
