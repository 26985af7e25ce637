#include "CSetting.h"

#include "core/Error.h"
#include "settings/IniStore.h"
#include "settings/UserStore.h"

#include <QFileInfo>

#include <exception>

namespace kalimor {

namespace {

QString executablePath() {
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

} // namespace

QString CSetting::programDirectory() {
    return QFileInfo(executablePath()).absolutePath();
}
QString CSetting::programName() {
    return QFileInfo(executablePath()).completeBaseName();
}

QString CSetting::TrimAtNull(const QString& text) {
    qsizetype begin = 0, end = text.size();
    while (begin < end && text[begin] == QLatin1Char(' ')) ++begin;
    while (end > begin && text[end - 1] == QLatin1Char(' ')) --end;
    QString trimmed = text.mid(begin, end - begin);
    const qsizetype nul = trimmed.indexOf(QChar(0));
    return nul < 0 ? trimmed : trimmed.left(nul);
}

void CSetting::Init(std::optional<QString> AppPath, std::optional<QString> AppName,
                    std::int32_t Mode) {
    if (AppName) {
        qsizetype begin = 0, end = AppName->size();
        while (begin < end && (*AppName)[begin] == QLatin1Char(' ')) ++begin;
        while (end > begin && (*AppName)[end - 1] == QLatin1Char(' ')) --end;
        m_appName = AppName->mid(begin, end - begin);
    } else {
        m_appName = programName();
    }
    m_appPath = (!AppPath || AppPath->isEmpty()) ? programDirectory() : *AppPath;
    // The separator is always added, even after a root "/".
    m_iniFile = m_appPath + QLatin1Char('/') + m_appName + QStringLiteral(".ini");
    setSaveMode(Mode);
}

std::unique_ptr<SettingsBackend> CSetting::backend() const {
    if (m_saveMode == 0) return std::make_unique<UserStore>(m_appName);
    return std::make_unique<IniStore>(m_iniFile);
}

template <typename Body>
auto CSetting::guarded(const char* operation, std::int32_t number, const char* prefix,
                       Body&& body) {
    try {
        if (m_appName.isEmpty()) Init();
        return body(*backend());
    } catch (const Error& e) {
        throw Error(number, QStringLiteral("CSetting.") + QLatin1String(operation),
                    QStringLiteral("%1(%2, %3)")
                        .arg(QLatin1String(prefix))
                        .arg(e.number())
                        .arg(e.description()));
    } catch (const std::exception& e) {
        throw Error(number, QStringLiteral("CSetting.") + QLatin1String(operation),
                    QStringLiteral("%1(%2, %3)")
                        .arg(QLatin1String(prefix))
                        .arg(err::InvalidCall)
                        .arg(QString::fromLocal8Bit(e.what())));
    }
}

QString CSetting::GetSettingStr(const QString& Section, const QString& KeyName,
                                const QString& DefaultValue) {
    return guarded("GetSettingStr", ErrReadSetting, "Error reading Setting ",
                   [&](SettingsBackend& b) { return b.readValue(Section, KeyName, DefaultValue); });
}

std::int16_t CSetting::GetSettingInt(const QString& Section, const QString& KeyName,
                                     std::int16_t DefaultValue) {
    return guarded("GetSettingInt", ErrReadSetting, "Error reading Setting ",
                   [&](SettingsBackend& b) { return b.readInt(Section, KeyName, DefaultValue); });
}

std::optional<SettingTable> CSetting::GetSettingAll(const QString& Section) {
    return guarded("GetSettingAll", ErrReadSection, "Error reading Section ",
                   [&](SettingsBackend& b) {
                       return b.readSection(Section, [&](const QString& name) {
                           return GetSettingStr(Section, name, QString());
                       });
                   });
}

std::optional<QStringList> CSetting::GetSectionNames() {
    return guarded("GetSectionNames", ErrReadSection, "Error reading Section ",
                   [&](SettingsBackend& b) { return b.sectionNames(); });
}

void CSetting::SaveSettingStr(const QString& Section, const QString& KeyName,
                              const QString& Setting) {
    guarded("SaveSettingStr", ErrWriteSetting, "Error writing Setting ",
            [&](SettingsBackend& b) { b.writeValue(Section, KeyName, Setting); });
}

void CSetting::SaveSettingInt(const QString& Section, const QString& KeyName,
                              std::int16_t Setting) {
    guarded("SaveSettingInt", ErrWriteSetting, "Error writing Setting ",
            [&](SettingsBackend& b) { b.writeValue(Section, KeyName, QString::number(Setting)); });
}

void CSetting::DeleteKey(const QString& Section, const QString& KeyName) {
    guarded("DeleteKey", ErrDeleteKey, "Error Deleting Key ",
            [&](SettingsBackend& b) { b.remove(Section, KeyName); });
}

} // namespace kalimor
