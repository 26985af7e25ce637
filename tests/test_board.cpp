#include "GuiFixture.h"
#include "app/Kalimor.h"
#include "dds/Board.h"
#include "dialogs/FormBoard.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QtTest>

using namespace kalimor;

class BoardDialogTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<GuiFixture> fx;
    std::unique_ptr<Kalimor> w;

    FormBoard* open() {
        w->findChild<QAction*>(QStringLiteral("MainMenuBoard"))->trigger();
        return w->findChild<FormBoard*>(QStringLiteral("FormBoard"));
    }
    static QString stored(const char* key) {
        CSetting s;
        return s.GetSettingStr(QStringLiteral("Configuration"), QLatin1String(key),
                               QStringLiteral("<none>"));
    }
    static void choose(FormBoard* d, int chip, const char* interfaceCaption) {
        d->findChild<QComboBox*>(QStringLiteral("cboChip"))->setCurrentIndex(chip);
        auto* iface = d->findChild<QComboBox*>(QStringLiteral("cboInterface"));
        iface->setCurrentIndex(iface->findText(QLatin1String(interfaceCaption)));
    }

private Q_SLOTS:
    void initTestCase() { GuiFixture::home(); }
    void init() {
        fx = std::make_unique<GuiFixture>();
        GuiFixture::store("ReferenceClkMHz", QStringLiteral("30"));
        w = std::make_unique<Kalimor>();
    }
    void cleanup() {
        w.reset();
        GuiFixture::store("Chip", QStringLiteral("AD9850"));
        dds::board().setChip({});
        fx.reset();
    }

    // OK stores the choice and loads the board at once: an AD9851 with its
    // multiplier at a 30 MHz crystal runs at 180 MHz with W32 set.
    void okSwitchesToTheChosenBoard() {
        FormBoard* d = open();
        QVERIFY(d);
        choose(d, 2, "Simulated board");
        d->cmdOK_Click();
        QCOMPARE(stored("Chip"), QStringLiteral("AD9851x6"));
        QCOMPARE(stored("Port"), QStringLiteral("sim"));
        QCOMPARE(dds::board().describePort(), QStringLiteral("Simulated board"));
        QCOMPARE(quint32(dds::board().held().word),
                 quint32(std::llround(1000.0 * 4294967296.0 / 180e6)));
        QCOMPARE(dds::board().lastBytes()[64] & 1, 1); // W32
        QVERIFY(fx->messages.isEmpty());
    }

    void multiplierOverThirtyMegahertzIsRefused() {
        GuiFixture::store("ReferenceClkMHz", QStringLiteral("100"));
        w = std::make_unique<Kalimor>();
        FormBoard* d = open();
        choose(d, 2, "Simulated board");
        d->cmdOK_Click();
        QCOMPARE(fx->messages.size(), 1);
        QVERIFY(fx->messages[0].contains(QStringLiteral("30 MHz or less")));
        QCOMPARE(stored("Port"), QStringLiteral("<none>"));
    }

    // Test sends the current frequency through the chosen port and says what
    // happened; the board's own port and chip stay as they were.
    void testSaysWhatHappened() {
        FormBoard* d = open();
        choose(d, 1, "Simulated board");
        fx->board->clearLoads();
        d->cmdTest_Click();
        QVERIFY2(d->findChild<QLabel*>(QStringLiteral("lblTest"))
                     ->text()
                     .startsWith(QStringLiteral("Sent 1,000.0 Hz (word 0x")),
                 qPrintable(d->findChild<QLabel*>(QStringLiteral("lblTest"))->text()));
        QVERIFY(fx->board->loads().empty());
        QCOMPARE(dds::board().chip(), dds::ChipProfile{});
        choose(d, 0, "Raspberry Pi GPIO");
        d->findChild<QComboBox*>(QStringLiteral("cboDevice"))
            ->setEditText(QStringLiteral("nochip9"));
        d->cmdTest_Click();
        QVERIFY(d->findChild<QLabel*>(QStringLiteral("lblTest"))
                    ->text()
                    .startsWith(QStringLiteral("Not sent: no GPIO chip nochip9")));
    }

    // The dialog opens on the port in use, given for this run or not, and
    // Return presses OK: changing only the chip keeps that port.
    void opensOnThePortInUse_data() {
        QTest::addColumn<QString>("port");
        QTest::newRow("--simulate") << "sim";
        QTest::newRow("--port gpio") << "gpio:gpiochip7:17,27,22";
    }
    void opensOnThePortInUse() {
        QFETCH(QString, port);
        QString why;
        const dds::PortSpec choice = *dds::parsePortSpec(port, &why);
        dds::board().adoptPort(dds::makeBackend(choice), choice);
        FormBoard* d = open();
        QCOMPARE(d->chosenPort(&why)->text(), port);
        d->findChild<QComboBox*>(QStringLiteral("cboChip"))->setCurrentIndex(1);
        QTest::keyClick(d->findChild<QComboBox*>(QStringLiteral("cboChip")), Qt::Key_Return);
        QCOMPARE(stored("Port"), port);
        QCOMPARE(stored("Chip"), QStringLiteral("AD9851"));
        QCOMPARE(dds::board().portChoice()->text(), port);
        setPortBackend(fx->board.get());
    }

    // The devices found on the machine are offered for each interface.
    void devicesFoundAreListed() {
        FormBoard::Finder finder;
        finder.parallelPorts = [] {
            return std::vector<std::pair<QString, int>>{{"parport0", 0x378}};
        };
        finder.ftdiAdapters = [] {
            return std::vector<dds::FtdiLib::Device>{{"A1B2C3", "FT232R USB UART"}};
        };
        finder.gpioChips = [] {
            return std::vector<dds::GpioLib::Chip>{{"gpiochip0", "pinctrl-bcm2711", 58}};
        };
        finder.serialBridges = [] {
            return std::vector<dds::SerialBridgePort::Candidate>{
                {"/dev/ttyUSB0", "USB Serial (1a86:7523)"}};
        };
        FormBoard d(nullptr, {}, finder);
        auto* devices = d.findChild<QComboBox*>(QStringLiteral("cboDevice"));
        const std::pair<const char*, const char*> expected[] = {
            {"Parallel port (ppdev)", "/dev/parport0 (0x378)"},
            {"FTDI USB adapter", "A1B2C3 - FT232R USB UART"},
            {"Raspberry Pi GPIO", "gpiochip0 - pinctrl-bcm2711 (58 lines)"},
            {"USB serial bridge (firmware/)", "/dev/ttyUSB0 - USB Serial (1a86:7523)"},
        };
        for (const auto& [iface, device] : expected) {
            choose(&d, 0, iface);
            QVERIFY2(devices->findText(QLatin1String(device)) >= 0, device);
        }
        choose(&d, 0, "FTDI USB adapter");
        devices->setCurrentIndex(devices->findText(QStringLiteral("A1B2C3 - FT232R USB UART")));
        QString why;
        QCOMPARE(d.chosenPort(&why)->text(), QStringLiteral("ftdi:A1B2C3"));
    }
};

QTEST_MAIN(BoardDialogTest)
#include "test_board.moc"
