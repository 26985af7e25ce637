// Every text the program can show fits its control, at the default font and
// at whatever QT_SCALE_FACTOR this run has (ctest runs it at 1, 1.25, 1.5
// and 2). Each window is driven into the states that change its texts, and
// each visible label, button, box and status line is measured with its own
// font. With KALIMOR_SHOTS=DIR each state is also saved as DIR/NAME.png; the
// README's pictures come from that (scripts/screenshots).
#include "GuiFixture.h"
#include "about/About.h"
#include "app/Kalimor.h"
#include "config/FormCalibrate.h"
#include "config/FormProp.h"
#include "sweep/FormSweep.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
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
    // What each visible control has room for, against what its text needs.
    void check(QWidget* window, const QString& state) {
        for (QWidget* c : window->findChildren<QWidget*>()) {
            if (!c->isVisibleTo(window) || c->objectName().isEmpty()) continue;
            QString text;
            int need = 0, room = 0;
            if (auto* label = qobject_cast<QLabel*>(c)) {
                if (label->wordWrap() || label->text().isEmpty() || label->text().startsWith('<'))
                    continue;
                text = label->text();
                need = textWidth(label, text) + 2 * label->margin() + std::max(0, label->indent());
                room = label->contentsRect().width();
            } else if (auto* button = qobject_cast<QAbstractButton*>(c)) {
                // The text and what the style draws beside it; not sizeHint,
                // which adds the style's minimum button width.
                text = button->text();
                const QStyle* st = button->style();
                if (qobject_cast<QRadioButton*>(button))
                    need = st->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, button) +
                           st->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, button);
                else if (qobject_cast<QCheckBox*>(button))
                    need = st->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, button) +
                           st->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, button);
                else
                    need = 2 * st->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
                need += textWidth(button, text);
                room = button->width();
            } else if (auto* box = qobject_cast<QGroupBox*>(c)) {
                text = box->title();
                need = textWidth(box, text);
                room = box->width();
            } else if (auto* edit = qobject_cast<QLineEdit*>(c)) {
                text = edit->text();
                need = textWidth(edit, text) + 6;
                room = edit->width();
            } else {
                continue;
            }
            if (need > room)
                misfits << QStringLiteral("%1 (%2): %3 \"%4\" needs %5 px, has %6")
                               .arg(state, window->objectName(), c->objectName(), text)
                               .arg(need)
                               .arg(room);
        }
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
        s->findChild<QPushButton*>(QStringLiteral("cmdDone"))->click();
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
