#include "ConfigHome.h"
#include "Raised.h"
#include "SmallDisk.h"
#include "core/Error.h"
#include "settings/CSetting.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <QFile>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace kalimor;

namespace {

ConfigHome* home = nullptr;

class Store : public ::testing::Test {
protected:
    void SetUp() override {
        app = QStringLiteral("kalimor-test-%1").arg(++counter);
        store.Init(std::nullopt, app, 0);
    }
    QString file() const { return home->file(app); }
    void writeRaw(const QByteArray& bytes) {
        QFile f(file());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    static inline int counter = 0;
    QString app;
    CSetting store;
};

} // namespace

TEST(SettingInit, PathsAndNames) {
    struct Case {
        std::optional<QString> path, name;
        QString ini, appName;
    } cases[] = {
        {QStringLiteral("/data"), QStringLiteral(" Kalimor "), QStringLiteral("/data/Kalimor.ini"),
         QStringLiteral("Kalimor")},
        {QStringLiteral("/"), QStringLiteral("Kalimor"), QStringLiteral("//Kalimor.ini"),
         QStringLiteral("Kalimor")},
        {QStringLiteral("/data/"), QStringLiteral("k"), QStringLiteral("/data//k.ini"),
         QStringLiteral("k")},
        {QStringLiteral(" /x "), QStringLiteral("k"), QStringLiteral(" /x /k.ini"),
         QStringLiteral("k")},
        {std::nullopt, QStringLiteral("k"), CSetting::programDirectory() + "/k.ini",
         QStringLiteral("k")},
        {QString(), std::nullopt, CSetting::programDirectory() + "/test_settings.ini",
         QStringLiteral("test_settings")},
    };
    for (const auto& c : cases) {
        CSetting s;
        s.Init(c.path, c.name, 3);
        EXPECT_EQ(s.IniFile(), c.ini);
        EXPECT_EQ(s.AppName(), c.appName);
        EXPECT_EQ(s.SaveMode(), 3);
    }
    EXPECT_NE(CSetting::programDirectory(), QDir::currentPath() + "/nowhere");
}

TEST(SettingInit, ImplicitInitResetsTheMode) {
    CSetting s;
    s.setSaveMode(1);
    EXPECT_EQ(s.GetSettingStr(QStringLiteral("Configuration"), QStringLiteral("none"),
                              QStringLiteral("dflt")),
              QStringLiteral("dflt"));
    EXPECT_EQ(s.SaveMode(), 0);
    EXPECT_EQ(s.AppName(), QStringLiteral("test_settings"));

    CSetting blank;
    blank.Init(QStringLiteral("/tmp"), QStringLiteral("   "), 1);
    blank.GetSettingStr(QStringLiteral("a"), QStringLiteral("b"));
    EXPECT_EQ(blank.SaveMode(), 0) << "a name that trims to empty leaves the store uninitialised";
}

TEST_F(Store, IntegerReads) {
    const QString sec = QStringLiteral("Configuration");
    struct Case {
        const char* stored;
        std::int16_t expected;
    } cases[] = {
        {"abc", 0}, {"12abc", 0}, {" 12.5 ", 12},   {"13.5", 14},
        {"-3", -3}, {"1e2", 100}, {"32767", 32767}, {"", 0},
    };
    for (const auto& c : cases) {
        store.SaveSettingStr(sec, QStringLiteral("k"), QString::fromLatin1(c.stored));
        EXPECT_EQ(store.GetSettingInt(sec, QStringLiteral("k"), 99), c.expected) << c.stored;
    }
    EXPECT_EQ(store.GetSettingInt(sec, QStringLiteral("missing"), 1022), 1022);

    store.SaveSettingInt(sec, QStringLiteral("PortAddr"), -5);
    EXPECT_EQ(store.GetSettingStr(sec, QStringLiteral("PortAddr")), QStringLiteral("-5"));

    store.SaveSettingStr(sec, QStringLiteral("big"), QStringLiteral("70000"));
    const Raised r = raised([&] { store.GetSettingInt(sec, QStringLiteral("big"), 0); });
    EXPECT_EQ(r.number, static_cast<std::int32_t>(0x80040203u));
    EXPECT_EQ(r.source, QStringLiteral("CSetting.GetSettingInt"));
    EXPECT_EQ(r.description, QStringLiteral("Error reading Setting (6, Overflow)"));
}

TEST_F(Store, SectionsAndTables) {
    EXPECT_FALSE(store.GetSettingAll(QStringLiteral("nothing")).has_value());
    EXPECT_FALSE(store.GetSectionNames().has_value());
    store.SaveSettingStr(QStringLiteral("S"), QStringLiteral("a"), QStringLiteral("1"));
    store.SaveSettingStr(QStringLiteral("S"), QStringLiteral("b"), QStringLiteral("two"));
    store.SaveSettingStr(QStringLiteral("Configuration"), QStringLiteral("x"), QStringLiteral("y"));
    const auto table = store.GetSettingAll(QStringLiteral("S"));
    ASSERT_TRUE(table.has_value());
    ASSERT_EQ(table->size(), 2u);
    EXPECT_EQ((*table)[0][0], QStringLiteral("a"));
    EXPECT_EQ((*table)[0][1], QStringLiteral("1"));
    EXPECT_EQ((*table)[1][0], QStringLiteral("b"));
    EXPECT_EQ((*table)[1][1], QStringLiteral("two"));
    EXPECT_EQ(store.GetSectionNames(),
              (QStringList{QStringLiteral("Configuration"), QStringLiteral("S")}));
}

TEST_F(Store, Deleting) {
    store.SaveSettingStr(QStringLiteral("Configuration"), QStringLiteral("a"), QStringLiteral("1"));
    store.SaveSettingStr(QStringLiteral("Configuration"), QStringLiteral("b"), QStringLiteral("2"));
    store.SaveSettingStr(QStringLiteral("Other"), QStringLiteral("c"), QStringLiteral("3"));
    store.DeleteKey(QStringLiteral("Configuration"), QStringLiteral("a"));
    EXPECT_EQ(store.GetSettingStr(QStringLiteral("Configuration"), QStringLiteral("a"),
                                  QStringLiteral("gone")),
              QStringLiteral("gone"));
    store.DeleteKey(QStringLiteral("Configuration"), QString());
    EXPECT_FALSE(store.GetSettingAll(QStringLiteral("Configuration")).has_value());
    EXPECT_EQ(store.GetSettingStr(QStringLiteral("Other"), QStringLiteral("c")),
              QStringLiteral("3"));

    for (const auto& [section, key] : {std::pair{"Other", "missing"}, std::pair{"Nowhere", ""}}) {
        const Raised r = raised(
            [&] { store.DeleteKey(QString::fromLatin1(section), QString::fromLatin1(key)); });
        EXPECT_EQ(r.number, static_cast<std::int32_t>(0x80040205u));
        EXPECT_EQ(r.source, QStringLiteral("CSetting.DeleteKey"));
        EXPECT_TRUE(r.description.startsWith(QStringLiteral("Error Deleting Key (5, ")))
            << qPrintable(r.description);
    }
}

TEST_F(Store, NothingIsCached) {
    CSetting other;
    other.Init(std::nullopt, app, 0);
    EXPECT_EQ(other.GetSettingInt(QStringLiteral("Configuration"), QStringLiteral("OptionCWS"), 0),
              0);
    store.SaveSettingInt(QStringLiteral("Configuration"), QStringLiteral("OptionCWS"), 1);
    EXPECT_EQ(other.GetSettingInt(QStringLiteral("Configuration"), QStringLiteral("OptionCWS"), 0),
              1);
    EXPECT_TRUE(QFile::exists(file())) << "written to disk before the call returned";
}

TEST_F(Store, ValuesReadBackExactly) {
    const QString values[] = {
        QStringLiteral("a,b"),
        QStringLiteral("\"quoted\""),
        QStringLiteral("k=v"),
        QStringLiteral("[section]"),
        QStringLiteral("  blanks  "),
        QStringLiteral("Grüße, 日本"),
        QString(10000, QLatin1Char('x')),
        QStringLiteral("@Variant(x)"),
        QStringLiteral("back\\slash;semi#hash"),
        QStringLiteral("line\nbreak"),
    };
    int i = 0;
    for (const QString& v : values)
        store.SaveSettingStr(QStringLiteral("V"), QStringLiteral("k%1").arg(i++), v);
    CSetting fresh;
    fresh.Init(std::nullopt, app, 0);
    i = 0;
    for (const QString& v : values)
        EXPECT_EQ(fresh.GetSettingStr(QStringLiteral("V"), QStringLiteral("k%1").arg(i++)), v);
}

TEST_F(Store, UnwritableStoreIsAnError) {
    // Root ignores permission bits, so make the store impossible to replace instead.
    ASSERT_TRUE(QDir().mkpath(file()));
    for (const char* op : {"SaveSettingStr", "SaveSettingInt"}) {
        const Raised r = raised([&] {
            if (QByteArray(op) == "SaveSettingStr")
                store.SaveSettingStr(QStringLiteral("Configuration"), QStringLiteral("k"),
                                     QStringLiteral("v"));
            else
                store.SaveSettingInt(QStringLiteral("Configuration"), QStringLiteral("k"), 5);
        });
        EXPECT_EQ(r.number, static_cast<std::int32_t>(0x80040202u));
        EXPECT_EQ(r.source, QStringLiteral("CSetting.") + QLatin1String(op));
        EXPECT_TRUE(r.description.startsWith(QStringLiteral("Error writing Setting (75, ")))
            << qPrintable(r.description);
    }
}

// A save through a symbolic link writes the file it names and keeps the link;
// a missing folder is made, the user's alone. Both stores, table-driven.
TEST(StoreSaves, ThroughLinksAndIntoMissingFolders) {
    QTemporaryDir dir;
    struct Case {
        const char* name;
        int mode; // 0 the per-user store, 1 an INI file in `dir`
        bool link;
    } cases[] = {{"per-user, link", 0, true},
                 {"INI, link", 1, true},
                 {"per-user, no folder", 0, false},
                 {"INI, no folder", 1, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString app = QStringLiteral("linked-%1").arg(&c - cases);
        const QString folder = c.mode == 0 ? home->path() : dir.filePath(app + "/deeper");
        const QString file = c.mode == 0 ? home->file(app) : folder + "/" + app + ".ini";
        const QString real = dir.filePath(app + "-dotfiles.conf");
        if (c.link) {
            QDir().mkpath(folder);
            QFile f(real);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write("[Configuration]\nPortAddr=888\n");
            f.close();
            ASSERT_TRUE(QFile::link(real, file));
        } else {
            QDir(folder).removeRecursively();
        }
        CSetting store;
        store.Init(c.mode == 0 ? std::nullopt : std::optional<QString>(folder), app, c.mode);
        store.SaveSettingStr(QStringLiteral("Configuration"), QStringLiteral("PortAddr"),
                             QStringLiteral("632"));
        EXPECT_EQ(store.GetSettingStr(QStringLiteral("Configuration"), QStringLiteral("PortAddr"),
                                      QString()),
                  QStringLiteral("632"));
        if (c.link) {
            EXPECT_TRUE(QFileInfo(file).isSymLink());
            QFile f(real);
            ASSERT_TRUE(f.open(QIODevice::ReadOnly));
            EXPECT_TRUE(f.readAll().contains("632"));
        } else {
            struct stat st {};
            ASSERT_EQ(::stat(QFile::encodeName(folder).constData(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0700u);
        }
    }
}

// A save on a full disk either puts the whole new file in place or leaves
// the old one untouched, and says it failed.
TEST(StoreOnAFullDisk, KeepsTheOldFile) {
    SmallDisk disk(home->path() + QStringLiteral("/full"));
    if (!disk.mounted()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    CSetting store;
    store.Init(std::nullopt, QStringLiteral("full/kalimor"), 0);
    const QString section = QStringLiteral("Configuration");
    for (int i = 0; i < 20; ++i) store.SaveSettingInt(section, QStringLiteral("Key%1").arg(i), i);
    QFile file(disk.path(QStringLiteral("kalimor.conf")));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();
    disk.fill(0);
    const Raised r = raised([&] {
        store.SaveSettingStr(section, QStringLiteral("Key0"), QString(3000, QLatin1Char('v')));
    });
    EXPECT_EQ(r.number, CSetting::ErrWriteSetting);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), before);
    EXPECT_EQ(store.GetSettingInt(section, QStringLiteral("Key19"), -1), 19);
    EXPECT_EQ(store.GetSettingInt(section, QStringLiteral("Key0"), -1), 0) << "the refused value";
    EXPECT_TRUE(QDir(disk.dir())
                    .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                    .filter(QStringLiteral("kalimor.conf."))
                    .isEmpty())
        << "no temporary file is left";
}

TEST_F(Store, NamesAreFlatAndMatchedWithoutCase) {
    store.SaveSettingStr(QStringLiteral("a/b"), QStringLiteral("c/d"), QStringLiteral("v"));
    store.SaveSettingStr(QStringLiteral("a"), QStringLiteral("b\\c%2F"), QStringLiteral("w"));
    EXPECT_EQ(store.GetSettingStr(QStringLiteral("A/B"), QStringLiteral("C/d"), {}),
              QStringLiteral("v"));
    EXPECT_EQ(store.GetSectionNames(), (QStringList{QStringLiteral("a"), QStringLiteral("a/b")}));
    const auto table = store.GetSettingAll(QStringLiteral("a/b"));
    ASSERT_TRUE(table);
    ASSERT_EQ(table->size(), 1u);
    EXPECT_EQ((*table)[0][0], QStringLiteral("c/d"));
    EXPECT_EQ(store.GetSettingAll(QStringLiteral("a"))->at(0)[0], QStringLiteral("b\\c%2F"));

    // A hand-edited file: found whatever the case, written where it stands.
    writeRaw("[configuration]\nportaddr=632\n");
    const QString section = QStringLiteral("Configuration"), key = QStringLiteral("PortAddr");
    EXPECT_EQ(store.GetSettingInt(section, key, 0), 632);
    store.SaveSettingInt(section, key, 888);
    QFile f(file());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "[configuration]\nportaddr=888\n");
}

TEST_F(Store, EmptyNamesAreRefusedAsInIniMode) {
    for (int mode : {0, 1}) {
        QTemporaryDir dir;
        store.Init(dir.path(), app, mode);
        const Raised r = raised([&] {
            store.SaveSettingStr(QStringLiteral("Configuration"), QString(), QStringLiteral("v"));
        });
        EXPECT_EQ(r.number, CSetting::ErrWriteSetting) << mode;
        EXPECT_TRUE(r.description.startsWith(QStringLiteral("Error writing Setting (5, ")))
            << qPrintable(r.description);
    }
}

// A write refused for lack of permission leaves no trace: later reads see
// the file as it is, and nothing writes the refused value behind the
// caller's back once the folder can be written again.
TEST(StoreRefusal, IsForgotten) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the store as another user";
    const QString folder = home->path() + QStringLiteral("/locked");
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile conf(folder + QStringLiteral("/kalimor.conf"));
    ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
    conf.write("[Configuration]\nPortAddr=888\n");
    conf.close();
    ASSERT_EQ(::chown(qPrintable(folder), 65534, 65534), 0);
    ASSERT_EQ(::chown(qPrintable(conf.fileName()), 65534, 65534), 0);
    ::chmod(qPrintable(folder), 0555);
    ::chmod(qPrintable(home->path()), 0755);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(90);
        CSetting store;
        store.Init(std::nullopt, QStringLiteral("locked/kalimor"), 0);
        const QString section = QStringLiteral("Configuration"), key = QStringLiteral("PortAddr");
        int failures = 0;
        failures |= raised([&] { store.SaveSettingInt(section, key, 1); }).number ==
                            CSetting::ErrWriteSetting
                        ? 0
                        : 1;
        failures |= store.GetSettingInt(section, key, 0) == 888 ? 0 : 2;
        ::chmod(qPrintable(folder), 0755);
        failures |= store.GetSettingInt(section, key, 0) == 888 ? 0 : 4;
        ::_exit(failures);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::chmod(qPrintable(home->path()), 0700);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not refused, 2: a read failed after, 4: read wrong";
    ASSERT_TRUE(conf.open(QIODevice::ReadOnly));
    EXPECT_EQ(conf.readAll(), "[Configuration]\nPortAddr=888\n");
}

// A save killed half-way leaves an empty lock file; the next save takes it
// over at once instead of waiting for it to grow old.
TEST_F(Store, StaleEmptyLockIsTakenOverAtOnce) {
    QFile lock(file() + QStringLiteral(".lock"));
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
    lock.close();
    QElapsedTimer t;
    t.start();
    store.SaveSettingInt(QStringLiteral("Configuration"), QStringLiteral("PortAddr"), 888);
    EXPECT_LT(t.elapsed(), 5000) << "a save waited for a dead lock";
    EXPECT_EQ(store.GetSettingInt(QStringLiteral("Configuration"), QStringLiteral("PortAddr"), 0),
              888);
}

TEST_F(Store, CorruptStoreIsKeptAside) {
    const QByteArray corrupt = "[Configuration\nReferenceClkMHz=50\n";
    writeRaw(corrupt);
    const Raised r = raised([&] {
        store.GetSettingInt(QStringLiteral("Configuration"), QStringLiteral("ReferenceClkMHz"),
                            100);
    });
    EXPECT_EQ(r.number, static_cast<std::int32_t>(0x80040203u));
    EXPECT_TRUE(r.description.contains(file())) << qPrintable(r.description);

    store.SaveSettingInt(QStringLiteral("Configuration"), QStringLiteral("ReferenceClkMHz"), 60);
    QFile aside(file() + ".bad");
    ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
    EXPECT_EQ(aside.readAll(), corrupt);
    EXPECT_EQ(store.GetSettingInt(QStringLiteral("Configuration"),
                                  QStringLiteral("ReferenceClkMHz"), 100),
              60);
}

int main(int argc, char** argv) {
    ConfigHome configHome;
    home = &configHome;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
