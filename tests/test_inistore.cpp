#include "Raised.h"
#include "SmallDisk.h"
#include "core/Error.h"
#include "settings/CSetting.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

using namespace kalimor;

namespace {

class Ini : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        store.Init(dir.path(), QStringLiteral("kalimor"), 1);
    }
    QString path() const { return dir.filePath(QStringLiteral("kalimor.ini")); }
    void write(const QByteArray& bytes) {
        QFile f(path());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QByteArray read() const {
        QFile f(path());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString get(const char* section, const char* key, const char* dflt = "") {
        return store.GetSettingStr(QString::fromUtf8(section), QString::fromUtf8(key),
                                   QString::fromUtf8(dflt));
    }
    void save(const char* section, const char* key, const QString& value) {
        store.SaveSettingStr(QString::fromUtf8(section), QString::fromUtf8(key), value);
    }

    QTemporaryDir dir;
    CSetting store;
};

} // namespace

TEST_F(Ini, ReadsAsTheProfileFunctionsDo) {
    write("; a comment\r\n"
          "  [ Configuration ]  \r\n"
          "ReferenceClkMHz = 125  \r\n"
          "quoted=\"  spaced  \"\r\n"
          "single='x'\r\n"
          "half=\"open\r\n"
          "noequals\r\n"
          "dup=first\r\n"
          "DUP=second\r\n"
          "[configuration]\r\n"
          "late=never seen\r\n");
    struct Case {
        const char* key;
        const char* value;
    } cases[] = {
        {"referenceclkmhz", "125"}, {"quoted", "spaced  "}, {"single", "x"},     {"half", "\"open"},
        {"dup", "first"},           {"late", "<d>"},        {"noequals", "<d>"}, {"missing", "<d>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(get("CONFIGURATION", c.key, "<d>"), QString::fromUtf8(c.value)) << c.key;
    EXPECT_EQ(get("Nowhere", "x", "dflt"), QStringLiteral("dflt"));
}

TEST_F(Ini, ValueLengthAndNul) {
    save("S", "long", QString(200, QLatin1Char('v')));
    EXPECT_EQ(get("S", "long"), QString(127, QLatin1Char('v')));
    // 126 ASCII characters then a two-byte UTF-8 character: the cut falls after it, not inside it.
    save("S", "utf", QString(126, QLatin1Char('a')) + QStringLiteral("éé"));
    EXPECT_EQ(get("S", "utf"), QString(126, QLatin1Char('a')) + QStringLiteral("é"));
    write(QByteArray("[S]\nlead=   x  \nnul=ab\0cd\n", 25));
    EXPECT_EQ(get("S", "lead"), QStringLiteral("x"));
    EXPECT_EQ(get("S", "nul"), QStringLiteral("ab"));
    EXPECT_EQ(get("S", "missing", "  padded  "), QStringLiteral("padded"));
}

// Windows editors put a byte-order mark in front; the first section must
// still be found, and a write must neither add a second one nor drop the mark.
TEST_F(Ini, ByteOrderMarkIsReadThroughAndKept) {
    write("\xEF\xBB\xBF[Configuration]\nPortAddr=888\n");
    EXPECT_EQ(get("Configuration", "PortAddr"), QStringLiteral("888"));
    EXPECT_EQ(store.GetSectionNames(), QStringList{QStringLiteral("Configuration")});
    save("Configuration", "PortAddr", "632");
    EXPECT_EQ(read(), "\xEF\xBB\xBF[Configuration]\nPortAddr=632\n");
}

// The file is the user's but its folder is not: no temporary file can go
// beside it, so it is rewritten in place, as the profile functions do.
TEST_F(Ini, FileInAFolderTheUserCannotWrite) {
    write("[Configuration]\nPortAddr=888\n");
    QFile::setPermissions(path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                      QFileDevice::ReadOther | QFileDevice::WriteOther);
    QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                          QFileDevice::ExeOther);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(90);
        const Raised save = raised([&] {
            store.SaveSettingInt(QStringLiteral("Configuration"), QStringLiteral("PortAddr"), 632);
        });
        _exit(save.number == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read(), "[Configuration]\nPortAddr=632\n");
}

TEST_F(Ini, IntegerReads) {
    write("[C]\na=12abc\nb=-7\nc=70000\nd=\ne=abc\nf= 42 \n");
    EXPECT_EQ(store.GetSettingInt(QStringLiteral("C"), QStringLiteral("a"), 5), 12);
    EXPECT_EQ(store.GetSettingInt(QStringLiteral("C"), QStringLiteral("b"), 5), -7);
    EXPECT_EQ(store.GetSettingInt(QStringLiteral("C"), QStringLiteral("d"), 5), 5);
    EXPECT_EQ(store.GetSettingInt(QStringLiteral("C"), QStringLiteral("e"), 5), 0);
    EXPECT_EQ(store.GetSettingInt(QStringLiteral("C"), QStringLiteral("f"), 5), 42);
    EXPECT_EQ(store.GetSettingInt(QStringLiteral("C"), QStringLiteral("zz"), 1022), 1022);
    const Raised r =
        raised([&] { store.GetSettingInt(QStringLiteral("C"), QStringLiteral("c"), 0); });
    EXPECT_EQ(r.number, CSetting::ErrReadSetting);
    EXPECT_EQ(r.source, QStringLiteral("CSetting.GetSettingInt"));
    EXPECT_EQ(r.description, QStringLiteral("Error reading Setting (6, Overflow)"));
}

TEST_F(Ini, ListsInFileOrder) {
    EXPECT_FALSE(store.GetSectionNames().has_value()) << "no file";
    EXPECT_FALSE(store.GetSettingAll(QStringLiteral("Configuration")).has_value());
    write("[Zeta]\nb=2\na=1\n;c=3\n[Alpha]\n[Empty]\n");
    EXPECT_EQ(store.GetSectionNames(), (QStringList{"Zeta", "Alpha", "Empty"}));
    const auto table = store.GetSettingAll(QStringLiteral("zeta"));
    ASSERT_TRUE(table.has_value());
    ASSERT_EQ(table->size(), 2u);
    EXPECT_EQ((*table)[0][0], QStringLiteral("b"));
    EXPECT_EQ((*table)[0][1], QStringLiteral("2"));
    EXPECT_EQ((*table)[1][0], QStringLiteral("a"));
    EXPECT_FALSE(store.GetSettingAll(QStringLiteral("Empty")).has_value());
    EXPECT_FALSE(store.GetSettingAll(QStringLiteral("Missing")).has_value());
}

TEST_F(Ini, NameListStopsAtTheBuffer) {
    QByteArray ini = "[S]\n";
    for (int i = 0; i < 300; ++i)
        ini += "key" + QByteArray::number(i).rightJustified(4, '0') + "=v\n";
    write(ini); // 300 names of 7 characters: 2400 with their NULs
    const auto table = store.GetSettingAll(QStringLiteral("S"));
    ASSERT_TRUE(table.has_value());
    ASSERT_EQ(table->size(), 256u);                        // 255 whole names and one cut short
    EXPECT_EQ(table->back()[0], QStringLiteral("key025")); // 2046 characters: 255 x 8, then 6
    EXPECT_EQ(table->back()[1], QString()) << "the cut name is no key";
    EXPECT_EQ((*table)[254][0], QStringLiteral("key0254"));
}

TEST_F(Ini, WritesChangeOnlyTheirOwnLine) {
    const QByteArray before =
        "# kept\r\n\r\n[Configuration]\r\nReferenceClkMHz = 100 \r\nodd line\r\n"
        "PortAddr=888\r\n\r\n[Other]\r\nx=\xff\xfe raw\r\n";
    write(before);
    store.SaveSettingInt(QStringLiteral("configuration"), QStringLiteral("referenceclkmhz"), 125);
    QByteArray expected = before;
    expected.replace("ReferenceClkMHz = 100 ", "ReferenceClkMHz = 125 ");
    EXPECT_EQ(read(), expected);

    store.SaveSettingInt(QStringLiteral("Configuration"), QStringLiteral("OptionCWS"), 1);
    expected.replace("PortAddr=888\r\n", "PortAddr=888\r\nOptionCWS=1\r\n");
    EXPECT_EQ(read(), expected);

    store.SaveSettingStr(QStringLiteral("New"), QStringLiteral("k"), QStringLiteral("v"));
    expected += "[New]\r\nk=v\r\n";
    EXPECT_EQ(read(), expected);
}

TEST_F(Ini, CreatesFileAndCopesWithoutTrailingNewline) {
    save("Configuration", "PortAddr", QStringLiteral("888"));
    EXPECT_EQ(read(), QByteArray("[Configuration]\nPortAddr=888\n"));
    write("[A]\nx=1");
    save("A", "y", QStringLiteral("2"));
    EXPECT_EQ(read(), QByteArray("[A]\nx=1\ny=2\n"));
    write("[A]\nx=1");
    save("B", "z", QStringLiteral("3"));
    EXPECT_EQ(read(), QByteArray("[A]\nx=1\n[B]\nz=3\n"));
}

TEST_F(Ini, RoundTripThroughASecondStore) {
    const QString values[] = {QStringLiteral("a,b"), QStringLiteral("k=v"), QStringLiteral("[x]"),
                              QStringLiteral("Grüße 日本"), QStringLiteral(";semi")};
    int i = 0;
    for (const QString& v : values)
        store.SaveSettingStr(QStringLiteral("V"), QStringLiteral("k%1").arg(i++), v);
    CSetting other;
    other.Init(dir.path(), QStringLiteral("kalimor"), 1);
    i = 0;
    for (const QString& v : values)
        EXPECT_EQ(other.GetSettingStr(QStringLiteral("V"), QStringLiteral("k%1").arg(i++)), v);
}

TEST_F(Ini, RefusesWhatWouldBreakTheFile) {
    write("[A]\nx=1\n");
    for (auto [section, key, value] :
         {std::tuple{"A", "k", "two\nlines"}, std::tuple{"A]", "k", "v"},
          std::tuple{"A", "k=j", "v"}, std::tuple{"", "k", "v"}}) {
        const Raised r = raised([&] { save(section, key, QString::fromUtf8(value)); });
        EXPECT_EQ(r.number, CSetting::ErrWriteSetting) << section << key;
        EXPECT_EQ(r.source, QStringLiteral("CSetting.SaveSettingStr"));
    }
    EXPECT_EQ(read(), QByteArray("[A]\nx=1\n"));
}

TEST_F(Ini, Deleting) {
    write("[A]\nx=1\ny=2\n[B]\nz=3\n\n[C]\nw=4\n");
    store.DeleteKey(QStringLiteral("a"), QStringLiteral("X"));
    EXPECT_EQ(read(), QByteArray("[A]\ny=2\n[B]\nz=3\n\n[C]\nw=4\n"));
    store.DeleteKey(QStringLiteral("B"), QString());
    EXPECT_EQ(read(), QByteArray("[A]\ny=2\n[C]\nw=4\n"));
    store.DeleteKey(QStringLiteral("Nowhere"), QStringLiteral("k")); // nothing there, nothing to do
    EXPECT_EQ(read(), QByteArray("[A]\ny=2\n[C]\nw=4\n"));
}

TEST_F(Ini, FileThatVanishesBetweenOperations) {
    save("A", "x", QStringLiteral("1"));
    QFile::remove(path());
    EXPECT_EQ(get("A", "x", "gone"), QStringLiteral("gone"));
    save("A", "x", QStringLiteral("2"));
    EXPECT_EQ(get("A", "x"), QStringLiteral("2"));
}

// Root ignores permission bits, so the read-only cases run in a child that
// has given up root, against a file and folder that belong to root.
TEST(IniOnAFullDisk, KeepsTheOldFile) {
    SmallDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    CSetting store;
    store.Init(disk.dir(), QStringLiteral("kalimor"), 1);
    QByteArray before;
    for (int i = 0; i < 20; ++i) before += "[Section" + QByteArray::number(i) + "]\nKey=1\n";
    QFile file(disk.path(QStringLiteral("kalimor.ini")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(before);
    file.close();
    disk.fill(0);
    const Raised r = raised([&] {
        store.SaveSettingStr(QStringLiteral("Section0"), QStringLiteral("Key"), QString(100, 'v'));
    });
    EXPECT_EQ(r.number, CSetting::ErrWriteSetting);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), before);
}

// A file the user may write but not read reads as empty; writing one key
// from that would lose all the others.
TEST_F(Ini, WriteOnlyFileIsNotRewritten) {
    write("[Configuration]\nPortAddr=888\nReferenceClkMHz=50\n");
    QFile::setPermissions(path(), QFileDevice::WriteOwner);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(90);
        QFile::setPermissions(path(), QFileDevice::WriteOwner | QFileDevice::WriteOther);
        const Raised save = raised([&] {
            store.SaveSettingInt(QStringLiteral("Configuration"), QStringLiteral("PortAddr"), 1);
        });
        _exit(save.number == CSetting::ErrWriteSetting ? 0 : 1);
    }
    if (geteuid() == 0)
        QFile::setPermissions(path(), QFileDevice::WriteOwner | QFileDevice::WriteOther);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    QFile::setPermissions(path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    EXPECT_EQ(read(), "[Configuration]\nPortAddr=888\nReferenceClkMHz=50\n");
}

TEST_F(Ini, ReadOnlyFileFailsLoudly) {
    write("[Configuration]\nPortAddr=888\n");
    QFile::setPermissions(path(),
                          QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                          QFileDevice::ReadOther | QFileDevice::ExeOther |
                                          QFileDevice::ReadGroup | QFileDevice::ExeGroup);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(90);
        const Raised save = raised([&] {
            store.SaveSettingInt(QStringLiteral("Configuration"), QStringLiteral("PortAddr"), 1);
        });
        if (save.number != CSetting::ErrWriteSetting ||
            save.source != QLatin1String("CSetting.SaveSettingInt") ||
            !save.description.startsWith(QLatin1String("Error writing Setting (75, ")))
            _exit(91);
        const Raised del = raised(
            [&] { store.DeleteKey(QStringLiteral("Configuration"), QStringLiteral("PortAddr")); });
        if (del.number != CSetting::ErrDeleteKey ||
            del.source != QLatin1String("CSetting.DeleteKey") ||
            del.description !=
                QLatin1String(
                    "Error Deleting Key (-2147220987, Error Deleting Key (check if file is "
                    "protected))"))
            _exit(92);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    QFile::setPermissions(dir.path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read(), QByteArray("[Configuration]\nPortAddr=888\n"));
}
