#include "UserStore.h"

#include "config/SafeFile.h"
#include "core/Error.h"
#include "core/Numbers.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>

Q_LOGGING_CATEGORY(lcStore, "kalimor.settings")

namespace kalimor {

namespace {

QString valueText(const QVariant& v) {
    // A hand-edited "a, b" comes back as a list; keep its text rather than lose it.
    if (v.typeId() == QMetaType::QStringList) return v.toStringList().join(QLatin1Char(','));
    return v.toString();
}

Error storeError(const QString& description) {
    return Error(err::FileAccess, QStringLiteral("UserStore"), description);
}

} // namespace

UserStore::UserStore(QString appName) : m_appName(std::move(appName)) {}

UserStore::FileState UserStore::inspect(const QString& file) {
    // QSettings reports a malformed file only the first time a process reads
    // it and serves its cached copy afterwards, so look at the file ourselves.
    const QFileInfo info(file);
    if (!info.exists()) return FileState::Good;
    QFile f(file);
    if (info.isDir() || !f.open(QIODevice::ReadOnly)) return FileState::Unreadable;
    while (!f.atEnd()) {
        const QByteArray line = f.readLine().trimmed();
        if (line.startsWith('[') && !line.contains(']')) return FileState::Malformed;
    }
    return FileState::Good;
}

std::unique_ptr<QSettings> UserStore::openForRead() const {
    auto s = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, m_appName);
    const FileState state = inspect(s->fileName());
    if (state == FileState::Malformed || s->status() == QSettings::FormatError)
        throw storeError(QStringLiteral("%1 is not a valid settings file").arg(s->fileName()));
    if (state == FileState::Unreadable || s->status() != QSettings::NoError)
        throw storeError(QStringLiteral("cannot read %1").arg(s->fileName()));
    return s;
}

std::unique_ptr<QSettings> UserStore::openForWrite() const {
    auto s = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, m_appName);
    const FileState state = inspect(s->fileName());
    if (state == FileState::Malformed || s->status() == QSettings::FormatError) {
        // Never write over a file we could not understand: the user may want
        // what is in it. Keep it beside the new one and say where.
        const QString file = s->fileName();
        s.reset();
        QString aside = file + QStringLiteral(".bad");
        if (QFile::exists(aside))
            aside = file + QStringLiteral(".bad-") +
                    QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss-zzz"));
        if (!QFile::rename(file, aside))
            throw storeError(
                QStringLiteral("%1 is not a valid settings file and could not be moved aside")
                    .arg(file));
        qCWarning(lcStore, "%s was not a valid settings file; kept it as %s and started afresh",
                  qPrintable(file), qPrintable(aside));
        s = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, m_appName);
        // The cached copy of the old file must not be written back.
        s->clear();
    } else if (state == FileState::Unreadable || s->status() != QSettings::NoError) {
        throw storeError(QStringLiteral("cannot read %1").arg(s->fileName()));
    }
    return s;
}

void UserStore::change(const std::function<void(QSettings&)>& edit,
                       const std::function<void(QVariantMap&)>& expect) const {
    auto current = openForWrite(); // moves a damaged file aside
    const QString file = current->fileName();
    SettingsLock lock(file);
    if (!lock.failure().isEmpty())
        throw storeError(QStringLiteral("cannot write %1: %2").arg(file, lock.failure()));
    QVariantMap expected;
    for (const QString& key : current->allKeys()) expected.insert(key, current->value(key));
    current.reset();
    expect(expected);

    // The settings library writes the copy (its own format, its own escapes)
    // but reports no error when the disk fills under it, so the copy is read
    // back through a name the library has never seen, and compared.
    QFile original(file);
    QByteArray bytes;
    if (original.exists()) {
        if (!original.open(QIODevice::ReadOnly))
            throw storeError(QStringLiteral("cannot read %1").arg(file));
        bytes = original.readAll();
    }
    QTemporaryDir scratch(file + QStringLiteral(".XXXXXX"));
    if (!scratch.isValid())
        throw storeError(QStringLiteral("cannot write %1: %2").arg(file, scratch.errorString()));
    const QString copy = scratch.filePath(QStringLiteral("copy.conf"));
    if (const auto failure = replaceFile(copy, bytes)) throw storeError(*failure);
    {
        QSettings s(copy, QSettings::IniFormat);
        edit(s);
        s.sync();
        if (s.status() != QSettings::NoError)
            throw storeError(QStringLiteral("cannot write %1").arg(file));
    }
    const QString check = scratch.filePath(QStringLiteral("check.conf"));
    QByteArray written;
    {
        QFile f(copy);
        if (!f.open(QIODevice::ReadOnly) || !QFile::copy(copy, check))
            throw storeError(QStringLiteral("cannot write %1").arg(file));
        written = f.readAll();
    }
    QSettings reread(check, QSettings::IniFormat);
    QVariantMap got;
    for (const QString& key : reread.allKeys()) got.insert(key, reread.value(key));
    if (reread.status() != QSettings::NoError || got != expected)
        throw storeError(QStringLiteral("cannot write %1: the disk may be full").arg(file));
    if (const auto failure = replaceFile(file, written)) throw storeError(*failure);
}

QString UserStore::readValue(const QString& section, const QString& key,
                             const QString& defaultValue) {
    auto s = openForRead();
    s->beginGroup(section);
    if (!s->contains(key)) return defaultValue;
    return valueText(s->value(key));
}

std::int16_t UserStore::readInt(const QString& section, const QString& key,
                                std::int16_t defaultValue) {
    const QString text = readValue(section, key, QString::number(defaultValue));
    const std::optional<double> value = parseNumericText(text);
    return value ? toInt16(*value) : std::int16_t{0};
}

std::optional<SettingTable> UserStore::readSection(const QString& section,
                                                   const std::function<QString(const QString&)>&) {
    auto s = openForRead();
    s->beginGroup(section);
    const QStringList keys = s->childKeys();
    if (keys.isEmpty()) return std::nullopt;
    SettingTable table;
    for (const QString& key : keys) table.push_back({key, valueText(s->value(key))});
    return table;
}

std::optional<QStringList> UserStore::sectionNames() {
    auto s = openForRead();
    const QStringList groups = s->childGroups();
    if (groups.isEmpty()) return std::nullopt;
    return groups;
}

void UserStore::writeValue(const QString& section, const QString& key, const QString& value) {
    change(
        [&](QSettings& s) {
            s.beginGroup(section);
            s.setValue(key, value);
            s.endGroup();
        },
        [&](QVariantMap& m) { m.insert(section + QLatin1Char('/') + key, value); });
}

void UserStore::remove(const QString& section, const QString& key) {
    {
        auto s = openForRead();
        if (key.isEmpty() && !s->childGroups().contains(section))
            throw Error(err::InvalidCall, QStringLiteral("UserStore"),
                        QStringLiteral("no section %1 in %2").arg(section, s->fileName()));
        s->beginGroup(section);
        if (!key.isEmpty() && !s->contains(key))
            throw Error(
                err::InvalidCall, QStringLiteral("UserStore"),
                QStringLiteral("no key %1 in section %2 of %3").arg(key, section, s->fileName()));
    }
    const QString prefix = section + QLatin1Char('/');
    change(
        [&](QSettings& s) {
            if (key.isEmpty()) return s.remove(section);
            s.beginGroup(section);
            s.remove(key);
            s.endGroup();
        },
        [&](QVariantMap& m) {
            if (!key.isEmpty()) return void(m.remove(prefix + key));
            for (auto it = m.begin(); it != m.end();)
                it = it.key().startsWith(prefix) ? m.erase(it) : std::next(it);
        });
}

} // namespace kalimor
