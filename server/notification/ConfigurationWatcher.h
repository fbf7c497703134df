#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

namespace NVL::Engineering::VK {

// Watches the configuration file for saves. A change is told once the file has been quiet for a
// moment, and only if the file differs from the one last read (markRead): other files of the folder
// come and go as well.
class ConfigurationWatcher : public QObject
{
    Q_OBJECT

public:
    // The file as it is now counts as read.
    ConfigurationWatcher(const QString &path, int quietMs, QObject *parent = nullptr);

    // The file as it is now has been read: only a later change is told.
    void markRead();

signals:
    void changed();

private:
    void watchPaths();
    void settle();

    const QString m_path;
    QFileSystemWatcher m_watcher;
    QTimer m_quietTimer;
    QString m_signature; // of the file as last read
};

} // namespace NVL::Engineering::VK
