#include "FakeSketch.h"
#include "GuiFixture.h"
#include "analyser/FormAnalyser.h"
#include "analyser/SwrPage.h"
#include "analyser/SwrSettings.h"
#include "app/Kalimor.h"
#include "dds/PortSpec.h"
#include "dds/SketchAnalyser.h"

#include <QAction>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

using namespace kalimor;

// The SWR tab as a user drives it on the simulated board: a run before any
// calibration shows no numbers; an open calibration, then the 40 m antenna:
// resonance and SWR 2 edges within 1 kHz; the CSV names its columns.
class SwrTabTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<GuiFixture> fx;
    std::unique_ptr<Kalimor> w;
    SwrPage* page = nullptr;

    void click(const char* name) {
        QTest::mouseClick(page->findChild<QPushButton*>(QLatin1String(name)), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!page->running(), 30000);
    }

    // The main window, and the analyser's SWR tab in front.
    void open() {
        w.reset();
        w = std::make_unique<Kalimor>();
        w->findChild<QAction*>(QStringLiteral("MainMenuAnalyser"))->trigger();
        auto* a = w->findChild<FormAnalyser*>(QStringLiteral("FormAnalyser"));
        QVERIFY(a);
        page = a->findChild<SwrPage*>();
        QVERIFY(page);
        auto* tabs = a->findChild<QTabWidget*>(QStringLiteral("tabs"));
        tabs->setCurrentWidget(page);
        QVERIFY(page->plot()->isVisibleTo(a));
    }

private Q_SLOTS:
    void initTestCase() { GuiFixture::home(); }
    void init() {
        QFile::remove(swr_settings::calibrationFile());
        fx = std::make_unique<GuiFixture>();
        open();
    }
    void cleanup() {
        w.reset();
        fx.reset();
    }

    void antennaAfterOpenCalibration() {
        auto* dut = page->findChild<QComboBox*>(QStringLiteral("cboSwrDut"));
        // While it runs the window's other runs wait: their tabs are closed.
        auto* tabs = page->window()->findChild<QTabWidget*>(QStringLiteral("tabs"));
        QTest::mouseClick(page->findChild<QPushButton*>(QStringLiteral("cmdSwrRun")),
                          Qt::LeftButton);
        QVERIFY(page->running() && !tabs->isTabEnabled(0));
        QTRY_VERIFY_WITH_TIMEOUT(!page->running(), 30000);
        QVERIFY(tabs->isTabEnabled(0));
        QVERIFY(page->shown().empty());
        QVERIFY2(page->resultText().startsWith(QLatin1String("No SWR")),
                 qPrintable(page->resultText()));

        dut->setCurrentIndex(dut->findData(int(analyser::swr::Dut::Kind::Open)));
        click("cmdCalOpen");
        dut->setCurrentIndex(dut->findData(int(analyser::swr::Dut::Kind::Antenna)));
        click("cmdSwrRun");
        QCOMPARE(page->shown().size(), size_t(101));
        const auto s = analyser::swr::summarise(page->shown());
        QVERIFY(std::fabs(s.resonanceHz - 7.0999685e6) < 1e3);
        QVERIFY(std::fabs(*s.bands[1].lowHz - 6.824192e6) < 1e3);
        QVERIFY(std::fabs(*s.bands[1].highHz - 7.386890e6) < 1e3);
        QVERIFY2(page->resultText().contains(QLatin1String("Resonance: 7.09")),
                 qPrintable(page->resultText()));
        QVERIFY(swr_settings::calibration().covers(
            analyser::sweepFrequencies(6.5e6, 7.7e6, 101, false)));

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("swr.csv"));
        QVERIFY(page->exportCsv(path));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        f.readLine();
        QCOMPARE(f.readLine().trimmed(), QByteArray("frequency_hz,return_loss_db,swr"));

        // Another band is another range: no numbers until it is calibrated.
        QTest::mouseClick(page->findChild<QPushButton*>(QStringLiteral("cmdBand20m")),
                          Qt::LeftButton);
        QCOMPARE(page->findChild<QDoubleSpinBox*>(QStringLiteral("spnSwrStart"))->value(), 13.9125);
        click("cmdSwrRun");
        QVERIFY(page->shown().empty());
        QVERIFY(fx->messages.isEmpty());
    }

    // Two diode detectors read 25 and 100 ohm low (square law at low level);
    // after the offsets and the linearisation from other known loads (open,
    // 12.5, 75 and 50 ohm) both read SWR 2 within 0.1.
    void twoDiodeDetectorsLinearised() {
        auto* dut = page->findChild<QComboBox*>(QStringLiteral("cboSwrDut"));
        auto* r = page->findChild<QDoubleSpinBox*>(QStringLiteral("spnSwrR"));
        page->findChild<QComboBox*>(QStringLiteral("cboSwrDetectors"))->setCurrentIndex(1);
        dut->setCurrentIndex(dut->findData(int(analyser::swr::Dut::Kind::Antenna)));
        page->findChild<QDoubleSpinBox*>(QStringLiteral("spnSwrL"))->setValue(0);
        page->findChild<QDoubleSpinBox*>(QStringLiteral("spnSwrC"))->setValue(1e9);
        auto swrOf = [&](double ohm) {
            r->setValue(ohm);
            click("cmdSwrRun");
            return page->shown().empty() ? 0 : analyser::swr::summarise(page->shown()).swr();
        };
        QVERIFY(page->readOffsets());
        QVERIFY(swrOf(25) < 1.8);
        for (double ohm : {12.5, 75.0, 50.0}) {
            r->setValue(ohm);
            QVERIFY(page->addKnownLoad(analyser::swr::gammaOf(ohm)));
        }
        dut->setCurrentIndex(dut->findData(int(analyser::swr::Dut::Kind::Open)));
        QVERIFY(page->addKnownLoad(1));
        dut->setCurrentIndex(dut->findData(int(analyser::swr::Dut::Kind::Antenna)));
        for (double ohm : {25.0, 100.0})
            QVERIFY2(std::fabs(swrOf(ohm) - 2) < 0.1, qPrintable(page->resultText()));
        QVERIFY(fx->messages.isEmpty());

        // The calibration survives a restart; a damaged one is refused, not used.
        const auto kept = page->detectorPair();
        open();
        QCOMPARE(page->detectorPair().linearisation, kept.linearisation);
        QCOMPARE(page->detectorPair().reflectedOffset, kept.reflectedOffset);
        CSetting().SaveSettingStr(QStringLiteral("SWR detectors"), QStringLiteral("Linearisation"),
                                  QStringLiteral("0.5:0.3;0.2:0.1"));
        open();
        QVERIFY(page->detectorPair().linearisation.empty());
        QCOMPARE(fx->messages.size(), 1);
        QVERIFY2(fx->messages[0].contains(QLatin1String("damaged (entry \"0.2:0.1\")")),
                 qPrintable(fx->messages[0]));
    }

    // An Arduino antenna analyser on the port: its own sweep, read into the
    // tab's plot, result and CSV; no standards to measure; a reply that stops
    // without "End" is an error shown, and the tab is free again.
    void antennaAnalyserSketch() {
        FakeSketch fake;
        dds::PortSpec choice;
        choice.kind = dds::PortSpec::Kind::Sketch;
        choice.device = fake.device();
        dds::board().adoptPort(std::make_unique<dds::SketchPort>(choice.device, choice.baud),
                               choice);
        page->findChild<QDoubleSpinBox*>(QStringLiteral("spnSwrStart"))->setValue(7);
        page->findChild<QDoubleSpinBox*>(QStringLiteral("spnSwrStop"))->setValue(7.2);
        page->findChild<QSpinBox*>(QStringLiteral("spnSwrPoints"))->setValue(3);
        fake.answer("Antenna analyser\r\n7000000,2000\r\n7100000,1050\r\n7200000,1980\r\nEnd\r\n");
        click("cmdSwrRun");
        fake.thread.join();
        QCOMPARE(fake.asked, std::string("7000000A7200000B2NS"));
        QCOMPARE(page->shown().size(), size_t(3));
        QVERIFY2(page->resultText().startsWith(QLatin1String("Resonance: 7.10")),
                 qPrintable(page->resultText()));
        QTemporaryDir dir;
        QVERIFY(page->exportCsv(dir.filePath(QStringLiteral("sketch.csv"))));

        click("cmdCalOpen");
        auto* status = page->findChild<QLabel*>(QStringLiteral("lblSwrStatus"));
        QVERIFY2(status->text().contains(QLatin1String("calibrates itself")),
                 qPrintable(status->text()));

        fake.asked.clear();
        fake.answer("7000000,2000\r\n");
        click("cmdSwrRun");
        QVERIFY(page->shown().empty());
        QVERIFY2(page->resultText().contains(QLatin1String("stopped after 1 points without")),
                 qPrintable(page->resultText()));
        QVERIFY(page->findChild<QPushButton*>(QStringLiteral("cmdSwrRun"))->isEnabled());
        QVERIFY(fx->messages.isEmpty());
    }
};

QTEST_MAIN(SwrTabTest)
#include "test_swr_tab.moc"
