#include "ConfigurationWatcher.h"

#include <QDateTime>
#include <QFileInfo>

namespace NVL::Engineering::VK {

namespace {

// Tells a changed file from one left as it was: a save writes a new file.
QString fileSignature(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QString();
    return QStringLiteral("%1 %2").arg(info.lastModified().toMSecsSinceEpoch()).arg(info.size());
}

} // namespace

ConfigurationWatcher::ConfigurationWatcher(const QString &path, int quietMs, QObject *parent)
    : QObject(parent)
    , m_path(path)
{
    m_quietTimer.setSingleShot(true);
    m_quietTimer.setInterval(quietMs);
    connect(&m_quietTimer, &QTimer::timeout, this, &ConfigurationWatcher::settle);
    const auto changed = [this] {
        watchPaths();
        m_quietTimer.start();
    };
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, changed);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, changed);
    markRead();
    watchPaths();
}

void ConfigurationWatcher::markRead()
{
    m_signature = fileSignature(m_path);
}

void ConfigurationWatcher::watchPaths()
{
    // A save replaces the file by a rename, which ends the watch of the old file: the folder sees it.
    const QFileInfo file(m_path);
    const QString folder = file.absolutePath();
    if (!m_watcher.directories().contains(folder) && QFileInfo::exists(folder))
        m_watcher.addPath(folder);
    if (!m_watcher.files().contains(file.absoluteFilePath()) && file.exists())
        m_watcher.addPath(file.absoluteFilePath());
}

void ConfigurationWatcher::settle()
{
    if (fileSignature(m_path) != m_signature)
        emit changed();
}

} // namespace NVL::Engineering::VK
