#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace kalimor {

// Where a save of `path` goes: through symbolic links to the file they name
// (a settings file kept in a dotfiles repository stays there, and the link
// stays a link), its folder made (mode 0700, as the user's own settings
// folder) when it is missing. Returns the path to write, or why there is none.
std::optional<QString> prepareSave(const QString& path, QString* failure);

// Puts `bytes` in place of the file at `path` (through its links), or leaves the old file as it
// was: the new text goes to a temporary file beside it, every write is
// checked, the file is synced and closed before it is renamed over the old
// one, and the folder is synced after. The old file's permissions are kept.
// What is not a regular file keeps its kind: a FIFO, a terminal or another
// character device (/dev/stdout among them) is written into as it stands, and
// a folder, a socket or a block device is refused by name.
// Returns why it failed, or nothing; `noRoomBeside` tells that the folder
// would not take the temporary file (no permission), the old file untouched.
std::optional<QString> replaceFile(const QString& path, const QByteArray& bytes,
                                   bool* noRoomBeside = nullptr);

// Writes `bytes` over the file at `path` in place, cuts it to their length
// and syncs it: for a file whose folder is not the user's to write. A
// failure part-way leaves the file damaged, as any in-place write would.
std::optional<QString> rewriteInPlace(const QString& path, const QByteArray& bytes);

// Whether a file that exists can be read. A file that cannot be read must
// not be rewritten from what a failed read gave.
bool existsButUnreadable(const QString& path);

// Serialises writers of one settings file across processes, waiting a moment
// at most. A lock left by a program killed during a save (an empty lock file,
// or one whose process is gone) is recognised and taken over at once.
class SettingsLock {
public:
    explicit SettingsLock(const QString& file);
    ~SettingsLock();
    SettingsLock(const SettingsLock&) = delete;
    SettingsLock& operator=(const SettingsLock&) = delete;
    // Empty when locked; otherwise why not.
    const QString& failure() const { return m_failure; }

private:
    struct Impl;
    Impl* m_impl;
    QString m_failure;
};

} // namespace kalimor
