#include "FormBoard.h"

#include "core/Calibration.h"
#include "core/Error.h"
#include "core/Numbers.h"
#include "dds/SerialBridge.h"
#include "settings/CSetting.h"
#include "ui/Globals.h"
#include "ui/Ui.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>

#include <cmath>

namespace kalimor {

namespace {

using Kind = dds::PortSpec::Kind;

// The interface list, in the order shown.
constexpr std::pair<Kind, const char*> interfaces[] = {
    {Kind::Simulated, "Simulated board"},
    {Kind::Ppdev, "Parallel port (ppdev)"},
    {Kind::DirectIo, "Parallel port (direct I/O)"},
    {Kind::Ftdi, "FTDI USB adapter"},
    {Kind::Gpio, "Raspberry Pi GPIO"},
    {Kind::Serial, "USB serial bridge (firmware/)"},
    {Kind::Sketch, "Antenna analyser sketch (Arduino)"},
};

QString pinsText(const std::vector<unsigned>& pins) {
    QStringList p;
    for (unsigned pin : pins) p << QString::number(pin);
    return p.join(QLatin1Char(','));
}

} // namespace

FormBoard::Finder FormBoard::Finder::system() {
    return {[] { return dds::PpdevPort().listPorts(); },
            [] { return dds::FtdiLib::makeReal()->list(); },
            [] { return dds::GpioLib::makeReal()->list(); },
            [] { return dds::SerialBridgePort::candidates(); }};
}

FormBoard::FormBoard(QWidget* owner, std::function<void(const dds::PortSpec&)> openPort,
                     Finder finder)
    : QDialog(owner), m_openPort(std::move(openPort)), m_finder(std::move(finder)) {
    ui::setUpDialog(this, "FormBoard", QStringLiteral("Kalimor Board"));
    setAttribute(Qt::WA_DeleteOnClose);

    auto named = [this](auto* w, const char* name) {
        w->setObjectName(QLatin1String(name));
        return w;
    };
    cboChip = named(new QComboBox(this), "cboChip");
    cboChip->addItems({QStringLiteral("AD9850"), QStringLiteral("AD9851"),
                       QStringLiteral("AD9851 with 6x multiplier")});
    cboInterface = named(new QComboBox(this), "cboInterface");
    for (const auto& [kind, caption] : interfaces)
        cboInterface->addItem(QLatin1String(caption), int(kind));
    cboDevice = named(new QComboBox(this), "cboDevice");
    cboDevice->setEditable(true);
    cboDevice->setMinimumContentsLength(28);
    txtPins = named(new QLineEdit(this), "txtPins");
    txtPins->setToolTip(QStringLiteral("GPIO lines (BCM numbers): DATA, W_CLK, FQ_UD and "
                                       "optionally RESET"));
    chkReset =
        named(new QCheckBox(QStringLiteral("RESET on the fourth pin (CTS)"), this), "chkReset");
    cmdTest = named(new QPushButton(QStringLiteral("Test"), this), "cmdTest");
    lblTest = named(new QLabel(this), "lblTest");
    lblTest->setWordWrap(true);
    lblTest->setMinimumWidth(320);
    cmdOK = named(new QPushButton(QStringLiteral("OK"), this), "cmdOK");
    cmdCancel = named(new QPushButton(QStringLiteral("Cancel"), this), "cmdCancel");
    for (QPushButton* b : {cmdTest, cmdOK, cmdCancel}) b->setAutoDefault(false);
    cmdOK->setDefault(true); // Return presses OK, as in the other dialogs

    auto* grid = new QGridLayout;
    int row = 0;
    for (auto [caption, field] : {std::pair<const char*, QWidget*>{"Chip", cboChip},
                                  {"Interface", cboInterface},
                                  {"Device", cboDevice},
                                  {"GPIO pins", txtPins}}) {
        auto* label = new QLabel(QLatin1String(caption), this);
        label->setBuddy(field);
        grid->addWidget(label, row, 0);
        grid->addWidget(field, row++, 1);
    }
    grid->addWidget(chkReset, row++, 1);
    auto* test = new QHBoxLayout;
    test->addWidget(cmdTest, 0, Qt::AlignTop);
    test->addWidget(lblTest, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(test);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // What is in use now: the board's chip and port (a --port given for this
    // run included), else the stored port.
    const dds::ChipProfile chip = dds::board().chip();
    cboChip->setCurrentIndex(chip.chip == dds::ChipProfile::Chip::AD9850 ? 0
                             : chip.multiplier                           ? 2
                                                                         : 1);
    dds::PortSpec choice;
    QString why;
    if (const auto inUse = dds::board().portChoice())
        choice = *inUse;
    else if (const auto stored = dds::parsePortSpec(
                 Globals::storedText(QStringLiteral("Configuration"), QStringLiteral("Port"),
                                     QStringLiteral("ppdev")),
                 &why))
        choice = *stored;
    cboInterface->setCurrentIndex(cboInterface->findData(int(choice.kind)));
    fillDevices();
    if (!choice.device.isEmpty()) {
        const int at = cboDevice->findData(choice.device);
        if (at >= 0)
            cboDevice->setCurrentIndex(at);
        else
            cboDevice->setEditText(choice.device);
    }
    txtPins->setText(pinsText(choice.kind == Kind::Gpio
                                  ? choice.pins
                                  : std::vector<unsigned>(std::begin(dds::GpioPort::DefaultPins),
                                                          std::end(dds::GpioPort::DefaultPins))));
    chkReset->setChecked(choice.reset);

    connect(cboInterface, &QComboBox::currentIndexChanged, this, &FormBoard::fillDevices);
    connect(cmdTest, &QPushButton::clicked, this, &FormBoard::cmdTest_Click);
    connect(cmdOK, &QPushButton::clicked, this, &FormBoard::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::close);
}

void FormBoard::fillDevices() {
    const auto kind = Kind(cboInterface->currentData().toInt());
    cboDevice->clear();
    switch (kind) {
    case Kind::Ppdev:
        cboDevice->addItem(QStringLiteral("(the one at the address in Properties)"), QString());
        for (const auto& [name, base] : m_finder.parallelPorts())
            cboDevice->addItem(QStringLiteral("/dev/%1 (0x%2)").arg(name, hexUpper(base)),
                               QStringLiteral("/dev/") + name);
        break;
    case Kind::Ftdi:
        cboDevice->addItem(QStringLiteral("(the first adapter found)"), QString());
        for (const auto& d : m_finder.ftdiAdapters())
            cboDevice->addItem(QStringLiteral("%1 - %2").arg(QString::fromStdString(d.serial),
                                                             QString::fromStdString(d.description)),
                               QString::fromStdString(d.serial));
        break;
    case Kind::Gpio: {
        const auto chips = m_finder.gpioChips();
        // First, and so the default: the header's chip, looked up by its
        // label at each open, since its number changes with the kernel.
        const auto header = dds::headerChip(chips);
        cboDevice->addItem(header ? QStringLiteral("(the Raspberry Pi header: %1)")
                                        .arg(QString::fromStdString(header->name))
                                  : QStringLiteral("(the Raspberry Pi header's chip)"),
                           QString());
        for (const auto& c : chips)
            cboDevice->addItem(
                QStringLiteral("%1 - %2 (%3 lines)")
                    .arg(QString::fromStdString(c.name), QString::fromStdString(c.label))
                    .arg(c.lines),
                QString::fromStdString(c.name));
        break;
    }
    case Kind::Serial:
    case Kind::Sketch:
        for (const auto& c : m_finder.serialBridges())
            cboDevice->addItem(QStringLiteral("%1 - %2").arg(c.device, c.description), c.device);
        if (cboDevice->count() == 0)
            cboDevice->addItem(QStringLiteral("/dev/ttyUSB0"), QStringLiteral("/dev/ttyUSB0"));
        break;
    case Kind::Simulated:
    case Kind::DirectIo:
        break;
    }
    cboDevice->setEnabled(cboDevice->count() > 0);
    txtPins->setEnabled(kind == Kind::Gpio);
    chkReset->setEnabled(kind == Kind::Ftdi);
    lblTest->clear();
}

std::optional<dds::PortSpec> FormBoard::chosenPort(QString* why) const {
    const auto kind = Kind(cboInterface->currentData().toInt());
    // A device picked from the list, or one typed in.
    QString device = cboDevice->currentData().toString();
    if (cboDevice->currentText() != cboDevice->itemText(cboDevice->currentIndex()))
        device = cboDevice->currentText().trimmed();
    QString text;
    switch (kind) {
    case Kind::Simulated:
        text = QStringLiteral("sim");
        break;
    case Kind::DirectIo:
        text = QStringLiteral("io");
        break;
    case Kind::Ppdev:
        text = device.isEmpty() ? QStringLiteral("ppdev") : device;
        break;
    case Kind::Ftdi:
        text = QStringLiteral("ftdi:") + device + (chkReset->isChecked() ? ":reset" : "");
        break;
    case Kind::Gpio:
        text = QStringLiteral("gpio:%1:%2").arg(device, txtPins->text().remove(QLatin1Char(' ')));
        break;
    case Kind::Serial:
        text = QStringLiteral("serial:") + device;
        break;
    case Kind::Sketch:
        text = QStringLiteral("sketch:") + device;
        break;
    }
    return dds::parsePortSpec(text, why);
}

dds::ChipProfile FormBoard::chosenChip() const {
    dds::ChipProfile chip;
    chip.chip = cboChip->currentIndex() == 0 ? dds::ChipProfile::Chip::AD9850
                                             : dds::ChipProfile::Chip::AD9851;
    chip.multiplier = cboChip->currentIndex() == 2;
    return chip;
}

std::optional<QString> FormBoard::refuseChip(const dds::ChipProfile& chip) const {
    const double crystal = std::round(Globals::nominalClockMHz());
    if (chip.clockFactor() == 6 && crystal > dds::MaxCrystalWithMultiplierMHz)
        return QStringLiteral("An AD9851 runs at 180 MHz at most: with its 6x multiplier the "
                              "crystal (Edit > Properties, now %1 MHz) must be 30 MHz or less.")
            .arg(crystal);
    return std::nullopt;
}

void FormBoard::report(const QString& text) {
    lblTest->setText(text);
    // A fixed-size dialog takes the height of the wrapped lines only when
    // asked again.
    lblTest->setMinimumHeight(lblTest->heightForWidth(lblTest->width()));
    layout()->activate();
}

void FormBoard::cmdTest_Click() {
    QString why;
    const auto choice = chosenPort(&why);
    const dds::ChipProfile chip = chosenChip();
    if (!choice) return report(QStringLiteral("Not sent: ") + why);
    if (const auto refused = refuseChip(chip)) return report(*refused);
    const double clock = calibratedClockHz(
        std::round(Globals::nominalClockMHz()) * 1e6 * chip.clockFactor(), Globals::RefClkPPM);
    const QLocale locale;
    try {
        const std::int32_t word = tuningWord(Globals::FreqHz, clock);
        // The port in use is tested through its open link: a second open of
        // a serial port would find it in use by this very program.
        std::unique_ptr<dds::PortBackend> own;
        dds::PortBackend* port =
            dds::board().portChoice() == choice ? dds::board().port() : nullptr;
        if (!port) {
            own = dds::makeBackend(*choice);
            port = own.get();
        }
        dds::board().testLoad(*port, chip, word, Globals::PhaseStep);
        report(QStringLiteral("Sent %1 Hz (word 0x%2) to %3 as an %4. The board should "
                              "now put out that frequency.")
                   .arg(locale.toString(Globals::FreqHz, 'f', 1), hexUpper(word), port->describe(),
                        chip.name()));
    } catch (const Error& e) {
        report(QStringLiteral("Not sent: ") + e.description());
    }
}

void FormBoard::cmdOK_Click() {
    QString why;
    const auto choice = chosenPort(&why);
    const dds::ChipProfile chip = chosenChip();
    if (!choice) return ui::showMessage(this, QStringLiteral("Invalid Value"), why);
    if (const auto refused = refuseChip(chip))
        return ui::showMessage(this, QStringLiteral("Invalid Value"), *refused);
    try {
        CSetting& store = Globals::settings();
        store.SaveSettingStr(QStringLiteral("Configuration"), QStringLiteral("Chip"), chip.text());
        store.SaveSettingStr(QStringLiteral("Configuration"), QStringLiteral("Port"),
                             choice->text());
    } catch (const Error& e) {
        return ui::showMessage(
            this, QStringLiteral("Kalimor Board"),
            QStringLiteral("%1 (%2)\n\n%3").arg(hexUpper(e.number()), e.source(), e.description()));
    }
    const double crystal = std::round(Globals::nominalClockMHz());
    dds::board().setChip(chip);
    Globals::ClockFactor = chip.clockFactor();
    Globals::RefClkHz = Globals::referenceClockHz(crystal);
    if (m_openPort) m_openPort(*choice);
    Q_EMIT applied();
    close();
}

} // namespace kalimor
