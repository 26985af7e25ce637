#include "SafeFile.h"

#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kalimor {

namespace {

QString errnoText(int e) {
    return QString::fromLocal8Bit(std::strerror(e));
}

std::optional<QString> writeAll(int fd, const QByteArray& bytes) {
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return errnoText(n == 0 ? ENOSPC : errno);
        done += n;
    }
    return std::nullopt;
}

// The file a chain of links ends at, which need not exist yet.
QString followLinks(const QString& path) {
    QString p = QFileInfo(path).absoluteFilePath();
    for (int hops = 0; hops < 40; ++hops) { // the kernel's own limit on a chain
        const QFileInfo info(p);
        if (!info.isSymLink()) break;
        p = info.symLinkTarget();
    }
    return p;
}

// A link of /proc naming an open descriptor (/dev/stdout, /dev/fd/3): what it
// leads to is the descriptor's file, whatever name that file has now.
bool descriptorLink(const QString& path) {
    struct stat link {
    }, proc{};
    return ::lstat(QFile::encodeName(path).constData(), &link) == 0 && S_ISLNK(link.st_mode) &&
           ::lstat("/proc/self", &proc) == 0 && link.st_dev == proc.st_dev;
}

// What stands at `path` when it is neither a regular file nor something a
// program writes into as it goes; empty for those.
QString refusedKind(mode_t mode) {
    if (S_ISDIR(mode)) return QStringLiteral("a folder");
    if (S_ISSOCK(mode)) return QStringLiteral("a socket");
    if (S_ISBLK(mode)) return QStringLiteral("a block device");
    if (S_ISREG(mode) || S_ISFIFO(mode) || S_ISCHR(mode)) return {};
    return QStringLiteral("not a file");
}

// A pipe, a terminal or a device takes the bytes as they come: it has no
// old content to keep whole, and replacing it would turn it into a file.
std::optional<QString> writeThrough(const QString& path, const QByteArray& bytes, int flags = 0) {
    // open() follows the links, /proc's own included (/dev/stdout).
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NOCTTY | O_CLOEXEC | flags);
    if (fd < 0) return QStringLiteral("cannot write %1: %2").arg(path, errnoText(errno));
    std::optional<QString> failure = writeAll(fd, bytes);
    if (::close(fd) != 0 && !failure) failure = errnoText(errno);
    if (failure) return QStringLiteral("cannot write %1: %2").arg(path, *failure);
    return std::nullopt;
}

} // namespace

std::optional<QString> prepareSave(const QString& path, QString* failure) {
    const QString target = followLinks(path);
    const QString folder = QFileInfo(target).absolutePath();
    // Made from the top down, each missing part the user's alone.
    QStringList missing;
    for (QString f = folder; !QFileInfo::exists(f) && f != QFileInfo(f).absolutePath();
         f = QFileInfo(f).absolutePath())
        missing.prepend(f);
    for (const QString& f : missing) {
        if (::mkdir(QFile::encodeName(f).constData(), 0700) != 0 && errno != EEXIST) {
            *failure = QStringLiteral("cannot make the folder %1: %2").arg(f, errnoText(errno));
            return std::nullopt;
        }
    }
    return target;
}

std::optional<QString> replaceFile(const QString& linkOrPath, const QByteArray& bytes,
                                   bool* noRoomBeside) {
    // The kernel's view of what is there decides; the links are followed by
    // name only for a regular file, which is replaced where it lies.
    struct stat there {};
    const bool exists = ::stat(QFile::encodeName(linkOrPath).constData(), &there) == 0;
    if (exists) {
        if (const QString kind = refusedKind(there.st_mode); !kind.isEmpty())
            return QStringLiteral("cannot write %1: it is %2").arg(linkOrPath, kind);
        if (!S_ISREG(there.st_mode)) return writeThrough(linkOrPath, bytes);
    }
    const QString path = followLinks(linkOrPath);
    if (exists) {
        // A file reached through a descriptor (--csv /dev/stdout >>log) gets
        // the bytes after what the descriptor has written, as if written to
        // it; so does a link whose name leads elsewhere than the kernel goes.
        bool throughDescriptor = false;
        QString hop = QFileInfo(linkOrPath).absoluteFilePath();
        for (int hops = 0; hops < 40 && !throughDescriptor && QFileInfo(hop).isSymLink(); ++hops) {
            throughDescriptor = descriptorLink(hop);
            hop = QFileInfo(hop).symLinkTarget();
        }
        struct stat named {};
        if (throughDescriptor || ::stat(QFile::encodeName(path).constData(), &named) != 0 ||
            named.st_dev != there.st_dev || named.st_ino != there.st_ino)
            return writeThrough(linkOrPath, bytes, O_APPEND);
    }
    const QByteArray target = QFile::encodeName(path);
    QByteArray temp = target + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        if (noRoomBeside) *noRoomBeside = errno == EACCES || errno == EPERM;
        return QStringLiteral("cannot create a file beside %1: %2").arg(path, errnoText(errno));
    }
    auto fail = [&](const char* what) {
        const int e = errno;
        ::close(fd);
        ::unlink(temp.constData());
        return QStringLiteral("cannot %1 %2: %3").arg(QLatin1String(what), path, errnoText(e));
    };
    struct stat old {};
    if (::stat(target.constData(), &old) == 0 && ::fchmod(fd, old.st_mode & 07777) != 0)
        return fail("keep the permissions of");
    if (const auto failure = writeAll(fd, bytes)) {
        ::close(fd);
        ::unlink(temp.constData());
        return QStringLiteral("cannot write %1: %2").arg(path, *failure);
    }
    if (::fsync(fd) != 0) return fail("write");
    if (::close(fd) != 0) {
        const int e = errno;
        ::unlink(temp.constData());
        return QStringLiteral("cannot write %1: %2").arg(path, errnoText(e));
    }
    if (::rename(temp.constData(), target.constData()) != 0) {
        const int e = errno;
        ::unlink(temp.constData());
        return QStringLiteral("cannot replace %1: %2").arg(path, errnoText(e));
    }
    // The rename itself is only durable once the folder is on disk.
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    if (const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return std::nullopt;
}

std::optional<QString> rewriteInPlace(const QString& path, const QByteArray& bytes) {
    // open() follows links by itself.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return QStringLiteral("cannot write %1: %2").arg(path, errnoText(errno));
    std::optional<QString> failure = writeAll(fd, bytes);
    if (!failure && (::ftruncate(fd, bytes.size()) != 0 || ::fsync(fd) != 0))
        failure = errnoText(errno);
    if (::close(fd) != 0 && !failure) failure = errnoText(errno);
    if (failure) return QStringLiteral("cannot write %1: %2").arg(path, *failure);
    return std::nullopt;
}

bool existsButUnreadable(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    if (::access(name.constData(), F_OK) != 0) return false;
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    ::close(fd);
    return false;
}

struct SettingsLock::Impl {
    explicit Impl(const QString& file) : lock(file + QStringLiteral(".lock")) {}
    QLockFile lock;
};

SettingsLock::SettingsLock(const QString& file) : m_impl(new Impl(file)) {
    QLockFile& lock = m_impl->lock;
    // Qt would wait 30 s for a lock whose holder it cannot name before it
    // calls it stale; a save must not hold the window that long.
    qint64 pid = 0;
    QString host, app;
    bool holderAlive = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (lock.tryLock(attempt == 0 ? 0 : 300)) return;
        if (lock.error() != QLockFile::LockFailedError) break;
        const bool named = lock.getLockInfo(&pid, &host, &app);
        holderAlive = named && (::kill(pid_t(pid), 0) == 0 || errno != ESRCH);
        if (!holderAlive) lock.removeStaleLockFile();
    }
    m_failure = holderAlive ? QStringLiteral("the settings are being saved by %1 (process %2)")
                                  .arg(app.isEmpty() ? QStringLiteral("another program") : app)
                                  .arg(pid)
                            : QStringLiteral("cannot lock %1.lock").arg(file);
}

SettingsLock::~SettingsLock() {
    delete m_impl;
}

} // namespace kalimor
