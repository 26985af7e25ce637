#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace kalimor {

// Rows of (key name, value) as a back-end lists a section.
using SettingTable = std::vector<std::array<QString, 2>>;

// One place where a CSetting keeps its values. Every operation raises
// kalimor::Error on failure; CSetting wraps it into the operation's own error.
class SettingsBackend {
public:
    virtual ~SettingsBackend() = default;
    virtual QString readValue(const QString& section, const QString& key,
                              const QString& defaultValue) = 0;
    virtual std::int16_t readInt(const QString& section, const QString& key,
                                 std::int16_t defaultValue) = 0;
    // `fetch` reads one value through the store's public read, for back-ends
    // that list names first and fetch values one by one.
    virtual std::optional<SettingTable>
    readSection(const QString& section, const std::function<QString(const QString&)>& fetch) = 0;
    virtual std::optional<QStringList> sectionNames() = 0;
    virtual void writeValue(const QString& section, const QString& key, const QString& value) = 0;
    // An empty key removes the whole section; a missing key or section fails.
    virtual void remove(const QString& section, const QString& key) = 0;
};

} // namespace kalimor
