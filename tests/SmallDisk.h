#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/mount.h>
#include <unistd.h>

// A real file system that can be filled: a tmpfs of a few KiB mounted for
// one test (root only, as CI runs; elsewhere `mounted()` is false and the
// test skips) on a folder of its own or on `at`.
class SmallDisk {
public:
    explicit SmallDisk(const QString& at = QString(), qint64 size = 64 * 1024)
        : m_path(at.isEmpty() ? m_dir.path() : at) {
        if (::geteuid() != 0 || !QDir().mkpath(m_path)) return;
        const QByteArray options = "size=" + QByteArray::number(size);
        m_mounted = ::mount("tmpfs", QFile::encodeName(m_path).constData(), "tmpfs", 0,
                            options.constData()) == 0;
    }
    ~SmallDisk() {
        if (m_mounted) ::umount2(QFile::encodeName(m_path).constData(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }
    QString path(const QString& name) const { return m_path + QLatin1Char('/') + name; }
    QString dir() const { return m_path; }
    // Leaves about `room` bytes free (tmpfs counts whole pages).
    void fill(qint64 room) {
        QFile filler(path(QStringLiteral(".filler")));
        filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
        const QByteArray page(4096, 'x');
        while (filler.write(page) == page.size()) {
        }
        filler.close();
        filler.resize(filler.size() - room);
    }

private:
    QTemporaryDir m_dir;
    QString m_path;
    bool m_mounted = false;
};
