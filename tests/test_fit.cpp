// Every text the program can show fits its control, at the default font and
// at whatever QT_SCALE_FACTOR this run has (ctest runs it at 1, 1.25, 1.5
// and 2). Each window is driven into the states that change its texts, and
// each visible label, button, box and status line is measured with its own
// font. With KALIMOR_SHOTS=DIR each state is also saved as DIR/NAME.png; the
// README's pictures come from that (scripts/screenshots).
#include "GuiFixture.h"
#include "ToneWav.h"
#include "about/About.h"
#include "analyser/CrystalPage.h"
#include "analyser/DetectorPage.h"
#include "analyser/FormAnalyser.h"
#include "analyser/SwrPage.h"
#include "app/Kalimor.h"
#include "beacon/FormBeacon.h"
#include "dialogs/FormBoard.h"
#include "dialogs/FormCalibrate.h"
#include "dialogs/FormProp.h"
#include "digital/FormDigital.h"
#include "sweep/FormSweep.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStyle>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

using namespace kalimor;

class FitTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<GuiFixture> fx;
    std::unique_ptr<Kalimor> w;
    QStringList misfits;

    static int textWidth(const QWidget* widget, const QString& text) {
        int widest = 0;
        for (const QString& line : text.split(QLatin1Char('\n')))
            widest = std::max(widest, widget->fontMetrics().horizontalAdvance(line));
        return widest;
    }
    // The width a control's text needs, with what the style draws beside it
    // (not sizeHint, which adds the style's minimum button width); 0 for a
    // control without a text to measure.
    static int needed(QWidget* c, QString* text) {
        if (auto* label = qobject_cast<QLabel*>(c)) {
            if (label->wordWrap() || label->text().isEmpty() || label->text().startsWith('<'))
                return 0;
            *text = label->text();
            return textWidth(label, *text) + 2 * label->margin() + std::max(0, label->indent());
        }
        if (auto* button = qobject_cast<QAbstractButton*>(c)) {
            *text = button->text();
            const QStyle* st = button->style();
            int beside = 2 * st->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
            if (qobject_cast<QRadioButton*>(button))
                beside = st->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, button) +
                         st->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, button);
            else if (qobject_cast<QCheckBox*>(button))
                beside = st->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, button) +
                         st->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, button);
            return textWidth(button, *text) + beside;
        }
        if (auto* box = qobject_cast<QGroupBox*>(c)) {
            *text = box->title();
            return textWidth(box, *text);
        }
        if (auto* edit = qobject_cast<QLineEdit*>(c)) {
            *text = edit->text();
            return textWidth(edit, *text) + 6;
        }
        return 0;
    }
    // Where the text is drawn, in the parent's coordinates.
    static QRect ink(QWidget* c, int need) {
        const QRect g = c->geometry();
        Qt::Alignment align = Qt::AlignLeft;
        if (auto* label = qobject_cast<QLabel*>(c)) align = label->alignment();
        const int left = align & Qt::AlignRight     ? g.right() + 1 - need
                         : align & Qt::AlignHCenter ? g.left() + (g.width() - need) / 2
                                                    : g.left();
        const int h = c->fontMetrics().height();
        return QRect(left, g.top() + (g.height() - h) / 2, need, h);
    }
    // Each visible text fits its control and prints over no other.
    void check(QWidget* window, const QString& state) {
        // A text that just changed lays its window out again on the next turn.
        QTest::qWait(20);
        QList<std::pair<QWidget*, QRect>> drawn;
        for (QWidget* c : window->findChildren<QWidget*>()) {
            if (!c->isVisibleTo(window) || c->objectName().isEmpty()) continue;
            QString text;
            const int need = needed(c, &text);
            if (need == 0) continue;
            const int room = qobject_cast<QLabel*>(c) ? c->contentsRect().width() : c->width();
            if (need > room)
                misfits << QStringLiteral("%1 (%2): %3 \"%4\" needs %5 px, has %6")
                               .arg(state, window->objectName(), c->objectName(), text)
                               .arg(need)
                               .arg(room);
            if (!qobject_cast<QGroupBox*>(c)) drawn.push_back({c, ink(c, need)});
        }
        for (qsizetype i = 0; i < drawn.size(); ++i)
            for (qsizetype j = i + 1; j < drawn.size(); ++j)
                if (drawn[i].first->parentWidget() == drawn[j].first->parentWidget() &&
                    drawn[i].second.intersects(drawn[j].second))
                    misfits << QStringLiteral("%1 (%2): %3 prints over %4")
                                   .arg(state, window->objectName(), drawn[i].first->objectName(),
                                        drawn[j].first->objectName());
        const QByteArray dir = qgetenv("KALIMOR_SHOTS");
        if (!dir.isEmpty()) window->grab().save(QString::fromLocal8Bit(dir) + "/" + state + ".png");
    }
    QLineEdit* txtFreq() { return w->findChild<QLineEdit*>(QStringLiteral("txtFreq")); }
    void unit(int index) {
        w->findChildren<QRadioButton*>(QStringLiteral("optFreqMult")).at(index)->click();
    }

private Q_SLOTS:
    void initTestCase() { GuiFixture::home(); }
    void init() {
        fx = std::make_unique<GuiFixture>();
        w = std::make_unique<Kalimor>();
        w->show();
        misfits.clear();
    }
    void cleanup() {
        w.reset();
        fx.reset();
        QVERIFY2(misfits.isEmpty(), qPrintable(misfits.join(QLatin1Char('\n'))));
    }

    void mainWindow() {
        check(w.get(), QStringLiteral("main-window"));
        const char* units[] = {"mhz", "khz", "hz"};
        for (int i = 0; i < 3; ++i) {
            unit(i);
            txtFreq()->setText(QStringLiteral("99999999"));
            check(w.get(), QStringLiteral("main-range-%1").arg(QLatin1String(units[i])));
        }
        unit(0);
        txtFreq()->setText(QStringLiteral("7.04"));
        // The widest phase there is, beside its bar.
        w->findChild<QScrollBar*>(QStringLiteral("VSPhase"))->setValue(31);
        check(w.get(), QStringLiteral("main-phase"));
        FailingPort failing;
        setPortBackend(&failing);
        txtFreq()->setText(QStringLiteral("7.05"));
        check(w.get(), QStringLiteral("main-port-failed"));
        setPortBackend(fx->board.get());
    }

    void calibrate() {
        w->findChild<QAction*>(QStringLiteral("MainMenuCalibrate"))->trigger();
        auto* d = w->findChild<FormCalibrate*>(QStringLiteral("FormCalibrate"));
        QVERIFY(d);
        check(d, QStringLiteral("calibrate"));
        QTest::keyClicks(d->findChild<QLineEdit*>(QStringLiteral("txtMeasured")),
                         QStringLiteral("1000.05"));
        check(d, QStringLiteral("calibrate-measured"));
        d->cmdOK_Click();
        check(w.get(), QStringLiteral("main-calibrated"));
    }

    void properties() {
        w->findChild<QAction*>(QStringLiteral("MainMenuProp"))->trigger();
        auto* d = w->findChild<FormProp*>(QStringLiteral("FormProp"));
        QVERIFY(d);
        check(d, QStringLiteral("properties"));
    }

    void sweep() {
        w->findChild<QPushButton*>(QStringLiteral("cmdSweep"))->click();
        FormSweep* s = w->sweepWindow();
        QVERIFY(s);
        check(s, QStringLiteral("sweep"));
        auto boxes = s->findChildren<QLineEdit*>(QStringLiteral("txtFreq"));
        for (QLineEdit* box : boxes)
            box->setText(box->property("Index").toInt() == 0 ? QStringLiteral("500")
                                                             : QStringLiteral("2000"));
        check(s, QStringLiteral("sweep-limit-error"));
        for (QLineEdit* box : boxes)
            box->setText(box->property("Index").toInt() == 0 ? QStringLiteral("2000")
                                                             : QStringLiteral("1000"));
        s->setClocked(false);
        s->findChild<QPushButton*>(QStringLiteral("cmdStart"))->click();
        for (int i = 0; i < 3; ++i) s->swpTimer_Timer();
        check(s, QStringLiteral("sweep-running"));
        FailingPort failing;
        setPortBackend(&failing);
        s->swpTimer_Timer();
        check(s, QStringLiteral("sweep-port-failed"));
        setPortBackend(fx->board.get());
        s->findChild<QPushButton*>(QStringLiteral("cmdStop"))->click();
        s->findChild<QPushButton*>(QStringLiteral("cmdDone"))->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void board() {
        w->findChild<QAction*>(QStringLiteral("MainMenuBoard"))->trigger();
        auto* d = w->findChild<FormBoard*>(QStringLiteral("FormBoard"));
        QVERIFY(d);
        auto* iface = d->findChild<QComboBox*>(QStringLiteral("cboInterface"));
        iface->setCurrentIndex(iface->findText(QStringLiteral("Simulated board")));
        d->cmdTest_Click();
        check(d, QStringLiteral("board"));
        iface->setCurrentIndex(iface->findText(QStringLiteral("Raspberry Pi GPIO")));
        check(d, QStringLiteral("board-gpio"));
    }

    void analyser() {
        w->findChild<QAction*>(QStringLiteral("MainMenuAnalyser"))->trigger();
        auto* a = w->findChild<FormAnalyser*>(QStringLiteral("FormAnalyser"));
        QVERIFY(a);
        a->cmdRun_Click();
        QTRY_VERIFY_WITH_TIMEOUT(!a->runner().running(), 20000 * timeScale());
        check(a, QStringLiteral("analyser"));
        auto* tabs = a->findChild<QTabWidget*>(QStringLiteral("tabs"));
        tabs->setCurrentWidget(&a->detectorPage());
        check(a, QStringLiteral("analyser-detector"));
        // The crystal table with one crystal of the simulated board's.
        auto* device = a->findChild<QComboBox*>(QStringLiteral("cboDevice"));
        device->setCurrentIndex(device->findData(int(analyser::SimulatedDevice::Kind::Crystal)));
        tabs->setCurrentWidget(&a->crystals());
        QVERIFY(a->crystals().cmdNextCrystal_Click());
        check(a, QStringLiteral("analyser-crystals"));
        // The SWR tab after an open calibration and a run on the simulated antenna.
        auto* swr = a->findChild<SwrPage*>();
        tabs->setCurrentWidget(swr);
        check(a, QStringLiteral("analyser-swr-uncalibrated"));
        auto* dut = swr->findChild<QComboBox*>(QStringLiteral("cboSwrDut"));
        dut->setCurrentIndex(0);
        swr->calibrate(analyser::swr::Standard::Open);
        QTRY_VERIFY_WITH_TIMEOUT(!swr->running(), 20000 * timeScale());
        dut->setCurrentIndex(3);
        swr->cmdRun_Click();
        QTRY_VERIFY_WITH_TIMEOUT(!swr->running(), 20000 * timeScale());
        check(a, QStringLiteral("analyser-swr"));
    }

    void beacon() {
        w->findChild<QAction*>(QStringLiteral("MainMenuBeacon"))->trigger();
        auto* b = w->findChild<FormBeacon*>(QStringLiteral("FormBeacon"));
        QVERIFY(b);
        check(b, QStringLiteral("beacon-wspr"));
        b->findChild<QComboBox*>(QStringLiteral("cboMode"))->setCurrentIndex(1);
        check(b, QStringLiteral("beacon-cw"));
    }

    // Idle, then following a tone: the status texts at their longest.
    void digitalModes() {
        w->findChild<QAction*>(QStringLiteral("MainMenuDigital"))->trigger();
        auto* d = w->findChild<FormDigital*>(QStringLiteral("FormDigital"));
        QVERIFY(d);
        check(d, QStringLiteral("digital-modes"));
        QTemporaryDir dir;
        const QString wav = dir.filePath(QStringLiteral("ft8-tone.wav"));
        QVERIFY(writeToneWav(wav, 1234.56, 3));
        d->followFile(wav);
        d->findChild<QComboBox*>(QStringLiteral("cboKeying"))->setCurrentIndex(1); // VOX
        d->cmdStart_Click();
        QTRY_VERIFY(d->findChild<QLabel*>(QStringLiteral("lblTone"))->text().startsWith('1'));
        check(d, QStringLiteral("digital-modes-running"));
        d->cmdStop_Click();
    }

    void aboutBoxes() {
        About about;
        check(&about, QStringLiteral("about"));
        AboutCorvane corvane;
        check(&corvane, QStringLiteral("about-corvane"));
        AboutPortIO portio;
        check(&portio, QStringLiteral("about-portio"));
    }
};

QTEST_MAIN(FitTest)
#include "test_fit.moc"
