#include "UserStore.h"

#include "core/Error.h"
#include "core/Numbers.h"
#include "settings/SafeFile.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>

Q_LOGGING_CATEGORY(lcStore, "kalimor.settings")

namespace kalimor {

namespace {

QString valueText(const QVariant& v) {
    // A hand-edited "a, b" comes back as a list; keep its text rather than lose it.
    if (v.typeId() == QMetaType::QStringList) return v.toStringList().join(QLatin1Char(','));
    return v.toString();
}

// The settings library splits names at '/' and '\\' into groups. Names here
// are flat, so those are escaped, and '%' with them to keep it reversible.
QString flat(const QString& name) {
    QString out;
    for (const QChar c : name) {
        if (c == QLatin1Char('%'))
            out += QStringLiteral("%25");
        else if (c == QLatin1Char('/'))
            out += QStringLiteral("%2F");
        else if (c == QLatin1Char('\\'))
            out += QStringLiteral("%5C");
        else
            out += c;
    }
    return out;
}

QString unflat(const QString& stored) {
    QString out;
    for (qsizetype i = 0; i < stored.size(); ++i) {
        const QString code = stored.mid(i, 3).toUpper();
        if (code == QLatin1String("%25") || code == QLatin1String("%2F") ||
            code == QLatin1String("%5C")) {
            out += code == QLatin1String("%25")   ? QLatin1Char('%')
                   : code == QLatin1String("%2F") ? QLatin1Char('/')
                                                  : QLatin1Char('\\');
            i += 2;
        } else {
            out += stored[i];
        }
    }
    return out;
}

// The spelling already stored for `name`, matched without regard to case as
// the platform store this replaces did; the flat form of `name` when none is.
QString storedName(const QStringList& stored, const QString& name) {
    for (const QString& n : stored)
        if (unflat(n).compare(name, Qt::CaseInsensitive) == 0) return n;
    return flat(name);
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

namespace {
qint64 msecs(const timespec& t) {
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
}

// QSettings keeps what it has read of a file and reads it again only once its
// size or its time, to the millisecond, has changed: a save of the same size
// within the millisecond of the file it replaced would read back as the old
// values, in this process and in any other. Such a save is dated a
// millisecond after the old file.
void dateAfter(const QString& file, const struct stat& old) {
    struct stat now {};
    const QByteArray name = QFile::encodeName(file);
    if (::stat(name.constData(), &now) != 0 || now.st_size != old.st_size ||
        msecs(now.st_mtim) > msecs(old.st_mtim))
        return;
    const qint64 later = msecs(old.st_mtim) + 1;
    // time_t and tv_nsec are 32 bits on 32-bit ARM.
    const timespec times[2] = {
        {0, UTIME_OMIT},
        {static_cast<time_t>(later / 1000),
         static_cast<decltype(timespec::tv_nsec)>((later % 1000) * 1'000'000)}};
    ::utimensat(AT_FDCWD, name.constData(), times, 0);
}
} // namespace

void UserStore::change(const std::function<void(QSettings&)>& edit,
                       const std::function<void(QVariantMap&)>& expect) const {
    auto current = openForWrite(); // moves a damaged file aside
    QString why;
    const std::optional<QString> target = prepareSave(current->fileName(), &why);
    if (!target)
        throw storeError(QStringLiteral("cannot write %1: %2").arg(current->fileName(), why));
    const QString file = *target;
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
    struct stat before {};
    const bool existed = ::stat(QFile::encodeName(file).constData(), &before) == 0;
    if (const auto failure = replaceFile(file, written)) throw storeError(*failure);
    if (existed) dateAfter(file, before);
}

UserStore::Names UserStore::resolve(QSettings& s, const QString& section, const QString& key) {
    Names names;
    names.group = storedName(s.childGroups(), section);
    s.beginGroup(names.group);
    names.key = key.isEmpty() ? QString() : storedName(s.childKeys(), key);
    s.endGroup();
    return names;
}

QString UserStore::readValue(const QString& section, const QString& key,
                             const QString& defaultValue) {
    auto s = openForRead();
    const Names n = resolve(*s, section, key);
    s->beginGroup(n.group);
    if (!s->contains(n.key)) return defaultValue;
    return valueText(s->value(n.key));
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
    s->beginGroup(resolve(*s, section, QString()).group);
    const QStringList keys = s->childKeys();
    if (keys.isEmpty()) return std::nullopt;
    SettingTable table;
    for (const QString& key : keys) table.push_back({unflat(key), valueText(s->value(key))});
    return table;
}

std::optional<QStringList> UserStore::sectionNames() {
    auto s = openForRead();
    QStringList groups = s->childGroups();
    if (groups.isEmpty()) return std::nullopt;
    for (QString& g : groups) g = unflat(g);
    return groups;
}

UserStore::Names UserStore::namesForWrite(const QString& section, const QString& key) const {
    try {
        auto s = openForRead();
        return resolve(*s, section, key);
    } catch (const Error&) {
        // A damaged file is moved aside by the write: the names start afresh.
        return {flat(section), flat(key)};
    }
}

void UserStore::writeValue(const QString& section, const QString& key, const QString& value) {
    // The INI store refuses these as well; the settings library would store
    // nothing and report success.
    if (section.isEmpty() || key.isEmpty())
        throw Error(err::InvalidCall, QStringLiteral("UserStore"),
                    QStringLiteral("a setting needs a section and a key name"));
    const Names n = namesForWrite(section, key);
    change(
        [&](QSettings& s) {
            s.beginGroup(n.group);
            s.setValue(n.key, value);
            s.endGroup();
        },
        [&](QVariantMap& m) { m.insert(n.group + QLatin1Char('/') + n.key, value); });
}

void UserStore::remove(const QString& section, const QString& key) {
    Names n;
    {
        auto s = openForRead();
        n = resolve(*s, section, key);
        if (key.isEmpty() && !s->childGroups().contains(n.group))
            throw Error(err::InvalidCall, QStringLiteral("UserStore"),
                        QStringLiteral("no section %1 in %2").arg(section, s->fileName()));
        s->beginGroup(n.group);
        if (!key.isEmpty() && !s->contains(n.key))
            throw Error(
                err::InvalidCall, QStringLiteral("UserStore"),
                QStringLiteral("no key %1 in section %2 of %3").arg(key, section, s->fileName()));
    }
    const QString prefix = n.group + QLatin1Char('/');
    change(
        [&](QSettings& s) {
            if (key.isEmpty()) return s.remove(n.group);
            s.beginGroup(n.group);
            s.remove(n.key);
            s.endGroup();
        },
        [&](QVariantMap& m) {
            if (!key.isEmpty()) return void(m.remove(prefix + n.key));
            for (auto it = m.begin(); it != m.end();)
                it = it.key().startsWith(prefix) ? m.erase(it) : std::next(it);
        });
}

} // namespace kalimor
