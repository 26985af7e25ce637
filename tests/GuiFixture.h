#pragma once

#include "ConfigHome.h"
#include "core/Error.h"
#include "dds/Board.h"
#include "dds/Port.h"
#include "dds/mdlSetKalimor.h"
#include "settings/CSetting.h"
#include "ui/Globals.h"
#include "ui/Holders.h"
#include "ui/Ui.h"

#include <QFile>
#include <QLabel>
#include <QLocale>
#include <QPalette>
#include <QStringList>

#include <algorithm>
#include <memory>

// How many times longer a step may take than on the build machine: the
// cross-built suite runs under qemu-user, many times slower, where
// scripts/package sets KALIMOR_TEST_TIME_SCALE; the native run keeps 1.
inline int timeScale() {
    return std::max(1, qEnvironmentVariableIntValue("KALIMOR_TEST_TIME_SCALE"));
}

// A port that refuses every load, as a missing or busy parallel port does.
class FailingPort : public kalimor::dds::PortBackend {
public:
    void write(int, const std::uint8_t*, std::size_t) override {
        ++attempts;
        throw kalimor::Error(
            kalimor::err::PortAccess, QStringLiteral("Port"),
            QStringLiteral(
                "cannot open /dev/parport0: Permission denied - add your user to group lp"));
    }
    QString describe() const override { return QStringLiteral("/dev/parport0"); }
    int attempts = 0;
};

// Fresh global state, an empty settings store, the simulated board, and
// message boxes answered by recording them.
class GuiFixture {
public:
    GuiFixture() {
        // Texts such as "3,000Hz" follow the locale; the tests pin one.
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        kalimor::Globals::reset();
        kalimor::ui::installHolderWording();
        QFile::remove(storeFile());
        board = std::make_unique<kalimor::dds::SimulatedBoard>();
        kalimor::setPortBackend(board.get());
        kalimor::ui::setMessageHook([this](QWidget*, const QString& title, const QString& text) {
            messages << title + QStringLiteral(": ") + text;
        });
        kalimor::ui::setEndHook([this] { ++endRequests; });
        // A window a test left open must not keep the board from the next.
        kalimor::dds::board().release(kalimor::dds::board().controller());
        kalimor::dds::board().setPttKeying(false);
    }
    ~GuiFixture() {
        kalimor::setPortBackend(nullptr);
        kalimor::ui::setMessageHook({});
        kalimor::ui::setEndHook({});
    }
    static QString storeFile() { return home().file(kalimor::CSetting::programName()); }
    static void store(const char* key, const QString& value) {
        kalimor::CSetting s;
        s.SaveSettingStr(QStringLiteral("Configuration"), QLatin1String(key), value);
    }
    static ConfigHome& home() {
        static ConfigHome h;
        return h;
    }
    static bool isRed(QLabel* label) {
        return label->palette().color(QPalette::Window) == QColor(255, 0, 0);
    }
    static bool isButtonFace(QLabel* label) {
        return label->palette().color(QPalette::Window) == kalimor::ui::buttonFace();
    }

    std::unique_ptr<kalimor::dds::SimulatedBoard> board;
    QStringList messages;
    int endRequests = 0;
};
