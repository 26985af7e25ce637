#pragma once

#include "settings/SettingsBackend.h"

#include <QSettings>

#include <memory>

namespace kalimor {

// The platform's per-user application-settings store: on Linux the file
// $XDG_CONFIG_HOME/<app>.conf, on Windows the registry. Each operation opens
// the store afresh, so nothing is cached between calls and a write is on disk
// before it returns. Section and key names are flat (a '/' is part of the
// name) and matched without regard to case, writes keeping the spelling
// already stored.
class UserStore : public SettingsBackend {
public:
    explicit UserStore(QString appName);

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

private:
    // A section and key as the settings library holds them.
    struct Names {
        QString group, key;
    };
    static Names resolve(QSettings& s, const QString& section, const QString& key);
    Names namesForWrite(const QString& section, const QString& key) const;
    enum class FileState { Good, Unreadable, Malformed };
    static FileState inspect(const QString& file);
    std::unique_ptr<QSettings> openForRead() const;
    std::unique_ptr<QSettings> openForWrite() const;
    // Applies `edit` to a copy of the store and puts the copy in place only
    // when it holds exactly what it should; the real file is never written
    // by the settings library, so a refused change leaves nothing behind.
    void change(const std::function<void(QSettings&)>& edit,
                const std::function<void(QVariantMap&)>& expect) const;

    QString m_appName;
};

} // namespace kalimor
