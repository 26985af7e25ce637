#include "FormProp.h"

#include "core/Error.h"
#include "core/Numbers.h"
#include "dds/Board.h"
#include "settings/CSetting.h"
#include "ui/Globals.h"
#include "ui/Ui.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <cmath>
#include <limits>

namespace kalimor {

using ui::place;
using ui::twips;

namespace {

// The leading number of a text, rounded half to even; anything too large to
// be read is simply out of every range we check.
double leadingWhole(const QString& text) {
    try {
        return std::nearbyint(readLeadingNumber(text));
    } catch (const Error&) {
        return std::numeric_limits<double>::infinity();
    }
}

} // namespace

FormProp::FormProp(QWidget* owner) : QDialog(owner) {
    ui::setUpDialog(this, "FormProp", QStringLiteral("Kalimor Properties"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    setFixedSize(ui::px(3150), ui::px(2535));

    auto* frameRefClk = place(new QGroupBox(QStringLiteral("Reference Clock"), this), "FrameRefClk",
                              twips(120, 120, 1695, 855));
    txtRefClkMHz = place(new QLineEdit(QStringLiteral("Text1"), frameRefClk), "txtRefClkMHz",
                         twips(240, 360, 855, 285));
    place(new QLabel(QStringLiteral("MHz"), frameRefClk), "Label1", twips(1200, 360, 375, 255));
    auto* frame1 = place(new QGroupBox(QStringLiteral("Port Addr"), this), "Frame1",
                         twips(2040, 120, 975, 855));
    txtPortAddr = place(new QLineEdit(QStringLiteral("378"), frame1), "txtPortAddr",
                        twips(240, 360, 495, 285));
    auto* frmOptions = place(new QGroupBox(QStringLiteral("Options"), this), "FrmOptions",
                             twips(120, 1080, 2895, 855));
    ChkCWS = place(new QCheckBox(QStringLiteral("Change While Scrolling"), frmOptions), "ChkCWS",
                   twips(120, 240, 2640, 255)); // wide enough for its caption
    cmdOK =
        place(new QPushButton(QStringLiteral("OK"), this), "cmdOK", twips(120, 2040, 1095, 375));
    cmdCancel = place(new QPushButton(QStringLiteral("Cancel"), this), "cmdCancel",
                      twips(1920, 2040, 1095, 375));
    // Neither button is the default: Enter is the form's, wherever the focus is.
    for (QPushButton* b : {cmdOK, cmdCancel}) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }

    setTabOrder(txtRefClkMHz, txtPortAddr);
    setTabOrder(txtPortAddr, cmdOK);
    setTabOrder(cmdOK, cmdCancel);
    setTabOrder(cmdCancel, ChkCWS);

    for (QWidget* w : {static_cast<QWidget*>(txtRefClkMHz), static_cast<QWidget*>(txtPortAddr),
                       static_cast<QWidget*>(ChkCWS), static_cast<QWidget*>(cmdOK),
                       static_cast<QWidget*>(cmdCancel)})
        w->installEventFilter(this);
    connect(cmdOK, &QPushButton::clicked, this, &FormProp::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &FormProp::cmdCancel_Click);

    Form_Load();
    txtRefClkMHz->setFocus();
}

void FormProp::Form_Load() {
    const double mhz = Globals::nominalClockMHz();
    const QString number = QString::number(mhz, 'g', 15);
    txtRefClkMHz->setText(mhz < 0 ? number : QStringLiteral(" ") + number);
    txtPortAddr->setText(
        QString::number(static_cast<std::uint16_t>(Globals::PortAddress), 16).toUpper());
    m_loadedCWS = Globals::OptionCWS;
    if (m_loadedCWS == 0 || m_loadedCWS == 1) {
        ChkCWS->setChecked(m_loadedCWS == 1);
    } else {
        // A hand-edited value a two-state box cannot show; OK keeps it unless the box is changed.
        ChkCWS->setTristate(true);
        ChkCWS->setCheckState(Qt::PartiallyChecked);
    }
}

void FormProp::cmdOK_Click() {
    const double clock = leadingWhole(txtRefClkMHz->text());
    const double address = leadingWhole(QStringLiteral("&H") + txtPortAddr->text());
    if (clock < 1 || clock > 125) {
        ui::showMessage(this, QStringLiteral("Invalid Value"),
                        QStringLiteral("Reference Clock must be between 1 and 125"));
        return;
    }
    if (Globals::ClockFactor == 6 && clock > dds::MaxCrystalWithMultiplierMHz) {
        // Only once the user has chosen an AD9851 with its multiplier.
        ui::showMessage(this, QStringLiteral("Invalid Value"),
                        QStringLiteral("With the AD9851's 6x multiplier the crystal must be 30 MHz "
                                       "or less (180 MHz at most)"));
        return;
    }
    if (address < 0 || address > 1023) {
        ui::showMessage(this, QStringLiteral("Invalid Value"),
                        QStringLiteral("Port address must be between 0 and $3FF"));
        return;
    }
    std::int16_t cws = 0;
    switch (ChkCWS->checkState()) {
    case Qt::Unchecked:
        cws = 0;
        break;
    case Qt::Checked:
        cws = 1;
        break;
    case Qt::PartiallyChecked:
        cws = m_loadedCWS;
        break;
    }
    try {
        CSetting& store = Globals::settings();
        const QString section = QStringLiteral("Configuration");
        store.SaveSettingInt(section, QStringLiteral("ReferenceClkMHz"),
                             static_cast<std::int16_t>(clock));
        store.SaveSettingInt(section, QStringLiteral("PortAddr"),
                             static_cast<std::int16_t>(address));
        store.SaveSettingInt(section, QStringLiteral("OptionCWS"), cws);
    } catch (const Error& e) {
        ui::showMessage(
            this, QStringLiteral("Kalimor Properties"),
            QStringLiteral("The settings could not be saved; nothing was changed.\n\n") +
                describe(e));
        return;
    }
    Globals::RefClkHz = Globals::referenceClockHz(clock);
    Globals::PortAddress = static_cast<std::int16_t>(address);
    Globals::OptionCWS = cws;
    close();
}

void FormProp::cmdCancel_Click() {
    close();
}

bool FormProp::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) cmdOK_Click();
    }
    return QDialog::eventFilter(watched, event); // the key goes on to the control
}

void FormProp::keyPressEvent(QKeyEvent* event) {
    // Escape does not close this dialog; only Cancel and the close box do.
    if (event->key() == Qt::Key_Escape) return event->accept();
    QDialog::keyPressEvent(event);
}

} // namespace kalimor
