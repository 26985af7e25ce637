#pragma once

#include "settings/SettingsBackend.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>

namespace kalimor {

// A small settings store of named text values in sections, kept either in the
// platform's per-user settings (SaveMode 0) or in an INI file (any other
// SaveMode). Nothing is cached: every operation goes to the chosen place.
//
// Each data operation turns any failure inside it into one error of its own:
//   GetSettingStr, GetSettingInt    0x80040203 "Error reading Setting (n, text)"
//   GetSettingAll, GetSectionNames  0x80040204 "Error reading Section (n, text)"
//   SaveSettingStr, SaveSettingInt  0x80040202 "Error writing Setting (n, text)"
//   DeleteKey                       0x80040205 "Error Deleting Key (n, text)"
// with the source "CSetting." followed by the operation's name.
class CSetting {
public:
    static constexpr std::int32_t ErrWriteSetting = static_cast<std::int32_t>(0x80040202u);
    static constexpr std::int32_t ErrReadSetting = static_cast<std::int32_t>(0x80040203u);
    static constexpr std::int32_t ErrReadSection = static_cast<std::int32_t>(0x80040204u);
    static constexpr std::int32_t ErrDeleteKey = static_cast<std::int32_t>(0x80040205u);

    // Omitted AppName: the executable's name without extension. Omitted or
    // empty AppPath: the executable's directory. IniFile = AppPath/AppName.ini.
    void Init(std::optional<QString> AppPath = std::nullopt,
              std::optional<QString> AppName = std::nullopt, std::int32_t Mode = 0);

    QString GetSettingStr(const QString& Section, const QString& KeyName,
                          const QString& DefaultValue = {});
    // A numeric text becomes the nearest 16-bit integer (ties to even; Overflow
    // outside); a text that is not numeric reads as 0, not as the default.
    std::int16_t GetSettingInt(const QString& Section, const QString& KeyName,
                               std::int16_t DefaultValue = 0);
    // Nothing when the section is missing or empty.
    std::optional<SettingTable> GetSettingAll(const QString& Section);
    std::optional<QStringList> GetSectionNames();
    void SaveSettingStr(const QString& Section, const QString& KeyName, const QString& Setting);
    void SaveSettingInt(const QString& Section, const QString& KeyName, std::int16_t Setting);
    // An empty KeyName deletes the whole section.
    void DeleteKey(const QString& Section, const QString& KeyName);

    std::int32_t SaveMode() const { return m_saveMode; }
    void setSaveMode(std::int32_t mode) { m_saveMode = mode; }

    const QString& IniFile() const { return m_iniFile; }
    const QString& AppPath() const { return m_appPath; }
    const QString& AppName() const { return m_appName; }

    // Blanks trimmed at both ends, then cut at the first NUL.
    static QString TrimAtNull(const QString& text);

    // The executable's directory and its name without extension.
    static QString programDirectory();
    static QString programName();

private:
    template <typename Body>
    auto guarded(const char* operation, std::int32_t number, const char* prefix, Body&& body);
    std::unique_ptr<SettingsBackend> backend() const;

    std::int32_t m_saveMode = 0;
    QString m_iniFile;
    QString m_appPath;
    QString m_appName;
};

} // namespace kalimor
