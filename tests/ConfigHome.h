#pragma once

#include <QTemporaryDir>

#include <cstdlib>

// Points the per-user settings store at a fresh folder before anything reads
// it: QSettings resolves XDG_CONFIG_HOME once per process.
class ConfigHome {
public:
    ConfigHome() { ::setenv("XDG_CONFIG_HOME", qPrintable(m_dir.path()), 1); }
    QString path() const { return m_dir.path(); }
    QString file(const QString& appName) const { return m_dir.path() + "/" + appName + ".conf"; }

private:
    QTemporaryDir m_dir;
};
