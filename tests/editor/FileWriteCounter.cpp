#include "FileWriteCounter.h"

#include <QFileInfo>

#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

FileWriteCounter::FileWriteCounter(const QString &filePath)
    : m_fileName(QFileInfo(filePath).fileName())
{
    m_descriptor = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_descriptor >= 0)
        m_watch = inotify_add_watch(m_descriptor, QFileInfo(filePath).absolutePath().toLocal8Bit().constData(),
                                  IN_CLOSE_WRITE | IN_MOVED_TO);
}

FileWriteCounter::~FileWriteCounter()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

int FileWriteCounter::count()
{
    alignas(inotify_event) char buffer[8192];
    for (;;) {
        const ssize_t length = ::read(m_descriptor, buffer, sizeof buffer);
        if (length <= 0)
            break;
        for (ssize_t offset = 0; offset < length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + offset);
            if (event->len > 0 && QString::fromLocal8Bit(event->name) == m_fileName)
                ++m_total;
            offset += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    return m_total;
}
