#include "StartUp.h"

#include "core/Calibration.h"
#include "core/Error.h"
#include "core/Numbers.h"
#include "dds/Board.h"
#include "dds/Port.h"
#include "dds/PortSpec.h"
#include "settings/CSetting.h"
#include "ui/Globals.h"
#include "ui/Ui.h"

#include <cmath>

namespace kalimor {

void StartUp::readSettings() {
    if (!Globals::Settings) Globals::Settings = std::make_unique<CSetting>();
    Globals::Settings->Init(std::nullopt, std::nullopt, 0);
    // The ranges Edit > Properties enforces. Any whole OptionCWS is kept: the
    // dialog shows one that is not 0 or 1 as partly checked.
    const std::int16_t clockMHz = readConfiguration("ReferenceClkMHz", 100, 1, 125);
    Globals::PortAddress = readConfiguration("PortAddr", 1022, 0, 0x3FF);
    Globals::OptionCWS = readConfiguration("OptionCWS", 0, INT16_MIN, INT16_MAX);
    Globals::RefClkPPM = readCalibration();
    readBoard(clockMHz);
    Globals::RefClkHz = Globals::referenceClockHz(clockMHz);
}

std::int16_t StartUp::readConfiguration(const char* key, std::int16_t defaultValue,
                                        std::int16_t lowest, std::int16_t highest) {
    // A damaged store must not keep the program from starting, nor reach the
    // board: the user repairs it by saving in Edit > Properties.
    auto useDefault = [&](const QString& why) {
        ui::showMessage(m_window, QStringLiteral("Kalimor"),
                        QStringLiteral("The stored setting \"%1\" cannot be used.\n\n%2\n\n"
                                       "Kalimor uses %3 instead. Saving in Edit > Properties "
                                       "repairs the store.")
                            .arg(QLatin1String(key), why)
                            .arg(defaultValue));
        return defaultValue;
    };
    QString text;
    try {
        text = Globals::Settings->GetSettingStr(QStringLiteral("Configuration"), QLatin1String(key),
                                                QString::number(defaultValue));
    } catch (const Error& e) {
        return useDefault(describe(e));
    }
    const QString range = QStringLiteral("\"%1\" is not a whole number from %2 to %3.")
                              .arg(text)
                              .arg(lowest)
                              .arg(highest);
    const std::optional<double> number = parseNumericText(text);
    if (!number || *number < lowest - 0.5 || *number > highest + 0.5) return useDefault(range);
    return toInt16(*number); // rounds as the store's own integer read does
}

void StartUp::readBoard(std::int16_t crystalMHz) {
    // The chip and the port chosen in Edit > Board...; a store without them
    // is an AD9850 on the parallel port at PortAddr, as before there was a
    // choice.
    auto stored = [](const char* key) {
        return Globals::storedText(QStringLiteral("Configuration"), QLatin1String(key), QString());
    };
    dds::ChipProfile chip;
    if (const QString text = stored("Chip"); !text.isEmpty()) {
        if (const auto read = dds::ChipProfile::fromText(text)) {
            chip = *read;
        } else {
            ui::showMessage(m_window, QStringLiteral("Kalimor"),
                            QStringLiteral("The stored chip \"%1\" is not AD9850, AD9851 or "
                                           "AD9851x6.\n\nKalimor uses an AD9850 instead; Edit > "
                                           "Board... stores a new choice.")
                                .arg(text));
        }
    }
    if (chip.clockFactor() == 6 && crystalMHz > dds::MaxCrystalWithMultiplierMHz) {
        ui::showMessage(m_window, QStringLiteral("Kalimor"),
                        QStringLiteral("An AD9851 runs at 180 MHz at most: with its 6x multiplier "
                                       "the crystal must be 30 MHz or less, not %1 MHz.\n\n"
                                       "Kalimor runs the AD9851 without the multiplier.")
                            .arg(crystalMHz));
        chip.multiplier = false;
    }
    dds::board().setChip(chip);
    Globals::ClockFactor = chip.clockFactor();

    // The command line's port, or one a caller set, wins for this run.
    if (Globals::PortFromCommandLine || dds::board().port()) return;
    dds::PortSpec choice;
    if (const QString text = stored("Port"); !text.isEmpty()) {
        QString why;
        if (const auto read = dds::parsePortSpec(text, &why))
            choice = *read;
        else
            ui::showMessage(m_window, QStringLiteral("Kalimor"),
                            QStringLiteral("The stored port cannot be used (%1).\n\nKalimor uses "
                                           "the parallel port instead; Edit > Board... stores a "
                                           "new choice.")
                                .arg(why));
    }
    openPort(choice);
}

void StartUp::openPort(const dds::PortSpec& choice) {
    std::unique_ptr<dds::PortBackend> port = dds::makeBackend(choice);
    if (!Globals::TraceFile.isEmpty()) {
        try {
            port = std::make_unique<dds::TracingPort>(std::move(port), Globals::TraceFile);
        } catch (const Error& e) {
            ui::showMessage(m_window, QStringLiteral("Kalimor"), e.description());
        }
    }
    dds::board().adoptPort(std::move(port), choice);
}

double StartUp::readCalibration() {
    QString text;
    try {
        text = Globals::Settings->GetSettingStr(QStringLiteral("Configuration"),
                                                QStringLiteral("ReferenceClkPPM"),
                                                QStringLiteral("0"));
    } catch (const Error& e) {
        ui::showMessage(
            m_window, QStringLiteral("Kalimor"),
            QStringLiteral("The stored calibration cannot be read.\n\n%1\n\n"
                           "Kalimor runs uncalibrated; Edit > Calibrate... stores a new one.")
                .arg(describe(e)));
        return 0;
    }
    const std::optional<double> ppm = parseNumericText(text);
    if (ppm && std::fabs(*ppm) <= MaxCalibrationPpm) return *ppm;
    ui::showMessage(
        m_window, QStringLiteral("Kalimor"),
        QStringLiteral(
            "The stored calibration \"%1\" is not a correction between -1000 and 1000 ppm.\n\n"
            "Kalimor runs uncalibrated; Edit > Calibrate... stores a new one.")
            .arg(text));
    return 0;
}

} // namespace kalimor
