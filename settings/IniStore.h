#pragma once

#include "settings/SettingsBackend.h"

#include <QByteArray>
#include <QString>

namespace kalimor {

// Values in an INI file, read and written the way the Windows private-profile
// functions do: "[section]" and "key=value" lines, names matched without
// regard to case, blanks around names and values dropped, the first of
// duplicate sections or keys winning, 127 characters at most per value read
// and 2048 per name list. A write changes only the lines it must, keeps every
// other byte of the file, and replaces the file atomically.
class IniStore : public SettingsBackend {
public:
    explicit IniStore(QString file);

    QString readValue(const QString& section, const QString& key,
                      const QString& defaultValue) override;
    std::int16_t readInt(const QString& section, const QString& key,
                         std::int16_t defaultValue) override;
    std::optional<SettingTable>
    readSection(const QString& section,
                const std::function<QString(const QString&)>& fetch) override;
    std::optional<QStringList> sectionNames() override;
    void writeValue(const QString& section, const QString& key, const QString& value) override;
    void remove(const QString& section, const QString& key) override;

    static constexpr int ValueBuffer = 128;
    static constexpr int ListBuffer = 2048;

private:
    QByteArray load() const;
    void save(const QByteArray& bytes) const;

    QString m_file;
};

} // namespace kalimor
