#include "FormCalibrate.h"

#include "core/Calibration.h"
#include "core/Error.h"
#include "core/Numbers.h"
#include "settings/CSetting.h"
#include "ui/Globals.h"
#include "ui/Ui.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <cmath>

namespace kalimor {

namespace {
const QString InvalidValue = QStringLiteral("Invalid Value");
} // namespace

FormCalibrate::FormCalibrate(QWidget* owner, std::function<std::int32_t()> lastWord)
    : QDialog(owner), m_lastWord(std::move(lastWord)) {
    ui::setUpDialog(this, "FormCalibrate", QStringLiteral("Kalimor Calibration"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);

    optPpm = new QRadioButton(QStringLiteral("Correction"), this);
    optPpm->setObjectName(QStringLiteral("optPpm"));
    optMeasured = new QRadioButton(QStringLiteral("Measured output"), this);
    optMeasured->setObjectName(QStringLiteral("optMeasured"));
    txtPpm = new QLineEdit(QString::number(Globals::RefClkPPM, 'g', 12), this);
    txtPpm->setObjectName(QStringLiteral("txtPpm"));
    txtMeasured = new QLineEdit(this);
    txtMeasured->setObjectName(QStringLiteral("txtMeasured"));
    for (QLineEdit* e : {txtPpm, txtMeasured}) e->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblSetting = new QLabel(this);
    lblSetting->setObjectName(QStringLiteral("lblSetting"));
    lblClock = new QLabel(this);
    lblClock->setObjectName(QStringLiteral("lblClock"));
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    optPpm->setChecked(true);

    auto* grid = new QGridLayout;
    grid->addWidget(optPpm, 0, 0);
    grid->addWidget(txtPpm, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("ppm"), this), 0, 2);
    grid->addWidget(optMeasured, 1, 0);
    grid->addWidget(txtMeasured, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Hz"), this), 1, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(lblSetting);
    layout->addWidget(lblClock);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(txtPpm, &QLineEdit::textEdited, this, [this] { optPpm->setChecked(true); });
    connect(txtMeasured, &QLineEdit::textEdited, this, [this] { optMeasured->setChecked(true); });
    for (QLineEdit* e : {txtPpm, txtMeasured})
        connect(e, &QLineEdit::textChanged, this, &FormCalibrate::preview);
    connect(optPpm, &QRadioButton::toggled, this, &FormCalibrate::preview);
    connect(cmdOK, &QPushButton::clicked, this, &FormCalibrate::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::close);
    preview();
}

FormCalibrate::Outcome FormCalibrate::evaluate() const {
    Outcome out;
    try {
        if (optPpm->isChecked()) {
            out.ppm = parseLocaleDouble(txtPpm->text());
        } else {
            const std::int32_t word = m_lastWord ? m_lastWord() : 0;
            if (word <= 0) {
                out.problem = QStringLiteral(
                    "No frequency has been sent yet: set one in the main window first");
                return out;
            }
            const double measured = parseLocaleDouble(txtMeasured->text());
            if (measured <= 0) throw typeMismatchError();
            const double nominal = Globals::nominalClockMHz() * 1e6;
            out.ppm = ppmBetween(clockFromMeasurement(measured, word), nominal);
        }
    } catch (const Error&) {
        out.problem = optPpm->isChecked()
                          ? QStringLiteral("Correction must be a number of ppm")
                          : QStringLiteral("Measured frequency must be a positive number of Hz");
        return out;
    }
    if (!std::isfinite(out.ppm) || std::fabs(out.ppm) > MaxCalibrationPpm) {
        out.problem = QStringLiteral("Correction must be between -1000 and 1000 ppm");
        return out;
    }
    out.ok = true;
    return out;
}

void FormCalibrate::preview() {
    const QLocale locale;
    const std::int32_t word = m_lastWord ? m_lastWord() : 0;
    // The word the board holds and what it makes at the clock as set now,
    // whichever window sent it (after a sweep: its last tick).
    lblSetting->setText(
        word > 0 ? QStringLiteral("Current setting: %1 Hz, word 0x%2")
                       .arg(locale.toString(word * Globals::RefClkHz / 4294967296.0, 'f', 3),
                            hexUpper(word))
                 : QStringLiteral("Current setting: nothing sent yet"));
    const Outcome o = evaluate();
    if (!o.ok) {
        lblClock->setText(o.problem);
        return void(layout()->activate());
    }
    const double clock = calibratedClockHz(Globals::nominalClockMHz() * 1e6, o.ppm);
    lblClock->setText(QStringLiteral("Reference clock: %1 Hz (%2 ppm)")
                          .arg(locale.toString(clock, 'f', 3), locale.toString(o.ppm, 'f', 3)));
    layout()->activate();
}

void FormCalibrate::cmdOK_Click() {
    const Outcome o = evaluate();
    if (!o.ok) return ui::showMessage(this, InvalidValue, o.problem);
    const double nominalMHz = Globals::nominalClockMHz();
    try {
        // Stored as plain text with "." so that every locale reads it back alike.
        Globals::settings().SaveSettingStr(QStringLiteral("Configuration"),
                                           QStringLiteral("ReferenceClkPPM"),
                                           QString::number(o.ppm, 'g', 12));
    } catch (const Error& e) {
        return ui::showMessage(
            this, windowTitle(),
            QStringLiteral("The calibration could not be saved; nothing was changed.\n\n") +
                describe(e));
    }
    Globals::RefClkPPM = o.ppm;
    Globals::RefClkHz = Globals::referenceClockHz(nominalMHz);
    Q_EMIT applied();
    close();
}

} // namespace kalimor
