#pragma once

#include "StandInFiles.h"

#include <QFile>
#include <QString>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// The exclusive lock on the stand-in's registry, shared by every thread and process that reads or writes
// it: the file is rewritten in place, and a read between its truncation and its write finds no services.
class StandInLock
{
public:
    explicit StandInLock(const QString &folder)
        : m_fd(::open(QFile::encodeName(folder + QLatin1String("/" VK_STANDIN_LOCK_FILE)).constData(),
                      O_RDWR | O_CREAT | O_CLOEXEC, 0644))
    {
        if (m_fd >= 0)
            ::flock(m_fd, LOCK_EX);
    }
    ~StandInLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    StandInLock(const StandInLock &) = delete;
    StandInLock &operator=(const StandInLock &) = delete;

private:
    int m_fd;
};
