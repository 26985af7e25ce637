#pragma once

#include "dds/Board.h"
#include "dds/PortSpec.h"
#include "dds/SerialBridge.h"
#include "dds/UsbGpioPorts.h"

#include <QDialog>

#include <functional>
#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kalimor {

// Edit > Board...: which chip the board carries and how it is wired to this
// machine (simulated, parallel port, FTDI USB, Raspberry Pi GPIO, the USB
// serial bridge), with the
// devices found here to pick from and a Test that sends the current
// frequency and says in words what happened. OK stores the choice in the
// settings (Configuration: Chip, Port) and switches to it at once.
class FormBoard : public QDialog {
    Q_OBJECT
public:
    // Where the dialog looks for devices; the real system by default.
    struct Finder {
        std::function<std::vector<std::pair<QString, int>>()> parallelPorts;
        std::function<std::vector<dds::FtdiLib::Device>()> ftdiAdapters;
        std::function<std::vector<dds::GpioLib::Chip>()> gpioChips;
        std::function<std::vector<dds::SerialBridgePort::Candidate>()> serialBridges;
        static Finder system();
    };
    // `openPort` puts the chosen port on the board (the main window's, which
    // traces it with --trace).
    FormBoard(QWidget* owner, std::function<void(const dds::PortSpec&)> openPort,
              Finder finder = Finder::system());

    void cmdTest_Click();
    void cmdOK_Click();

    // What the fields say now; nothing, with the reason, when they do not
    // name a port.
    std::optional<dds::PortSpec> chosenPort(QString* why) const;
    dds::ChipProfile chosenChip() const;

Q_SIGNALS:
    // The new board is in place: the window sends its frequency to it.
    void applied();

private:
    void fillDevices();
    void report(const QString& text);
    std::optional<QString> refuseChip(const dds::ChipProfile& chip) const;

    std::function<void(const dds::PortSpec&)> m_openPort;
    Finder m_finder;
    QComboBox* cboChip;
    QComboBox* cboInterface;
    QComboBox* cboDevice;
    QLineEdit* txtPins;
    QCheckBox* chkReset;
    QPushButton* cmdTest;
    QLabel* lblTest;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
};

} // namespace kalimor
