#include "GuiFixture.h"
#include "analyser/CrystalPage.h"
#include "analyser/FormAnalyser.h"
#include "analyser/ResponsePage.h"
#include "app/Kalimor.h"

#include <QAction>
#include <QComboBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

using namespace kalimor;

class AnalyserTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<GuiFixture> fx;
    std::unique_ptr<Kalimor> w;
    FormAnalyser* a = nullptr;

private Q_SLOTS:
    void initTestCase() { GuiFixture::home(); }
    void init() {
        fx = std::make_unique<GuiFixture>();
        w = std::make_unique<Kalimor>();
        w->findChild<QAction*>(QStringLiteral("MainMenuAnalyser"))->trigger();
        a = w->findChild<FormAnalyser*>(QStringLiteral("FormAnalyser"));
        QVERIFY(a);
    }
    void cleanup() {
        w.reset();
        fx.reset();
    }

    // What a user does: pick the 10.7 MHz crystal filter, run, read the
    // bandwidth off the markers.
    void crystalFilterBandwidthFromTheMarkers() {
        auto* device = a->findChild<QComboBox*>(QStringLiteral("cboDevice"));
        device->setCurrentIndex(device->findText(QStringLiteral("Crystal band-pass, 10.7 MHz")));
        fx->board->clearLoads();
        QTest::mouseClick(a->findChild<QPushButton*>(QStringLiteral("cmdRun")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!a->runner().running(), 20000 * timeScale());
        QCOMPARE(a->shown().size(), size_t(1001));
        // Every point a whole load, then the main window's word put back.
        QCOMPARE(fx->board->loadCount(), std::uint64_t(1002));
        QCOMPARE(fx->board->loads().back().ftw, std::uint32_t(0xA7C6));
        // 10.7 kHz in theory; the simulated detector's noise moves it a little.
        const auto bw =
            QRegularExpression(QStringLiteral("bandwidth ([0-9.]+) kHz")).match(a->markerText());
        QVERIFY2(bw.hasMatch(), qPrintable(a->markerText()));
        QVERIFY2(std::fabs(bw.captured(1).toDouble() - 10.7) < 0.25, qPrintable(a->markerText()));
        QVERIFY(a->markerText().contains(QStringLiteral("centre 10.70")));

        // Kept as a memory, exported and read back as another.
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("crystal.csv"));
        QVERIFY(a->response().exportCsv(csv));
        QVERIFY(a->response().importCsv(csv));
        QVERIFY(a->response().exportPng(dir.filePath(QStringLiteral("crystal.png"))));
        QVERIFY(QFileInfo(dir.filePath(QStringLiteral("crystal.png"))).size() > 1000);
        const QByteArray dirShots = qgetenv("KALIMOR_SHOTS");
        if (!dirShots.isEmpty()) a->grab().save(QString::fromLocal8Bit(dirShots) + "/analyser.png");
    }

    void stopActsWithinOnePoint() {
        a->findChild<QSpinBox*>(QStringLiteral("spnSettle"))->setValue(20);
        QTest::mouseClick(a->findChild<QPushButton*>(QStringLiteral("cmdRun")), Qt::LeftButton);
        QTRY_VERIFY(a->runner().trace().size() >= 2);
        const size_t atStop = a->runner().trace().size();
        QTest::mouseClick(a->findChild<QPushButton*>(QStringLiteral("cmdStop")), Qt::LeftButton);
        QTest::qWait(100);
        QVERIFY(!a->runner().running());
        QVERIFY2(a->runner().trace().size() <= atStop + 1, "more than one point after Stop");
    }

    // A through on another grid is read at the run's frequencies: the run
    // keeps all its points, in the plot and in the export.
    void throughOnAnotherGridKeepsEveryPoint() {
        auto* device = a->findChild<QComboBox*>(QStringLiteral("cboDevice"));
        auto* points = a->findChild<QSpinBox*>(QStringLiteral("spnPoints"));
        device->setCurrentIndex(device->findData(int(analyser::SimulatedDevice::Kind::Through)));
        points->setValue(101);
        a->cmdRun_Click();
        QTRY_VERIFY_WITH_TIMEOUT(!a->runner().running(), 20000 * timeScale());
        a->response().cmdThrough_Click();
        device->setCurrentIndex(
            device->findData(int(analyser::SimulatedDevice::Kind::CrystalFilter)));
        points->setValue(1001);
        a->cmdRun_Click();
        QTRY_VERIFY_WITH_TIMEOUT(!a->runner().running(), 20000 * timeScale());
        QCOMPARE(a->shown().size(), size_t(1001));
        QVERIFY2(std::fabs(a->shown()[500].level - (-2)) < 0.3, "not relative to the through");
        QTemporaryDir dir;
        QVERIFY(a->response().exportCsv(dir.filePath(QStringLiteral("run.csv"))));
        QFile csv(dir.filePath(QStringLiteral("run.csv")));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QCOMPARE(csv.readAll().count('\n'), 1001 + 2);
        QVERIFY(a->response().exportTouchstone(dir.filePath(QStringLiteral("run.s2p"))));
        // A memory is what the markers read beside the trace.
        QVERIFY(a->response().importCsv(dir.filePath(QStringLiteral("run.csv"))));
        QVERIFY2(a->markerText().contains(QStringLiteral("(memory -")),
                 qPrintable(a->markerText()));
    }

    // The crystal mode's batch: each crystal a row, those whose fs agree
    // within the tolerance in one group; presets keep the sweep settings.
    void crystalsAndPresets() {
        auto* device = a->findChild<QComboBox*>(QStringLiteral("cboDevice"));
        device->setCurrentIndex(device->findData(int(analyser::SimulatedDevice::Kind::Crystal)));
        // Two measurements of one crystal: fs within 10 Hz of the model's, and of each other
        // within 5.
        double fs[2] = {};
        for (int i = 0; i < 2; ++i) {
            const auto m = a->crystals().cmdNextCrystal_Click();
            QVERIFY(m);
            QVERIFY2(std::fabs(m->rm - 20) < 1, qPrintable(QString::number(m->rm)));
            fs[i] = m->fs;
            QVERIFY2(std::fabs(m->fs - analyser::crystalFixture().seriesHz()) < 10,
                     qPrintable(QString::number(m->fs, 'f', 1)));
        }
        QVERIFY(std::fabs(fs[0] - fs[1]) < 5);
        const auto* table = a->findChild<QTableView*>(QStringLiteral("tblCrystals"))->model();
        QCOMPARE(table->rowCount(), 2);
        QCOMPARE(table->index(0, 9).data(), table->index(1, 9).data());
        QCOMPARE(table->index(0, 1).data().toDouble(),
                 QString::number(fs[0] / 1e6, 'f', 6).toDouble());
        // The CSV keeps what was measured, not the cells' rounding.
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("crystals.csv"));
        QVERIFY(a->crystals().exportCrystals(path));
        QFile csv(path);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = csv.readAll().split('\n');
        QCOMPARE(lines[0], QByteArray("number,fs_hz,fp_hz,il_db,rm_ohm,lm_h,cm_f,c0_f,q,group"));
        QCOMPARE(lines[2].split(',')[1].toDouble(), fs[1]);
        QCOMPARE(lines[2].split(',').size(), 10);
        QVERIFY(fx->messages.isEmpty());

        a->findChild<QSpinBox*>(QStringLiteral("spnPoints"))->setValue(333);
        a->response().savePreset(QStringLiteral("crystal filter"));
        a->findChild<QSpinBox*>(QStringLiteral("spnPoints"))->setValue(2);
        QVERIFY(a->response().recallPreset(QStringLiteral("crystal filter")));
        QCOMPARE(a->findChild<QSpinBox*>(QStringLiteral("spnPoints"))->value(), 333);
    }

    void notAnExportedTraceIsRefused() {
        QTemporaryDir dir;
        QFile f(dir.filePath(QStringLiteral("x.csv")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("hello\n");
        f.close();
        QVERIFY(!a->response().importCsv(f.fileName()));
        QCOMPARE(fx->messages.size(), 1);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("# Kalimor network analyser: x\nfrequency_hz,level,raw\n2,0,0\n1,0,0\n");
        f.close();
        QVERIFY(!a->response().importCsv(f.fileName()));
        QVERIFY2(fx->messages.last().contains(QStringLiteral("line 4: 1.000 Hz comes after")),
                 qPrintable(fx->messages.last()));
    }
};

QTEST_MAIN(AnalyserTest)
#include "test_analyser.moc"
