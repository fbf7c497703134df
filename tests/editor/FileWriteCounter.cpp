#include "FileWriteCounter.h"

#include <QFileInfo>

#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

FileWriteCounter::FileWriteCounter(const QString &filePath)
    : fileName(QFileInfo(filePath).fileName())
{
    descriptor = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (descriptor >= 0)
        watch = inotify_add_watch(descriptor, QFileInfo(filePath).absolutePath().toLocal8Bit().constData(),
                                  IN_CLOSE_WRITE | IN_MOVED_TO);
}

FileWriteCounter::~FileWriteCounter()
{
    if (descriptor >= 0)
        ::close(descriptor);
}

int FileWriteCounter::count()
{
    alignas(inotify_event) char buffer[8192];
    for (;;) {
        const ssize_t length = ::read(descriptor, buffer, sizeof buffer);
        if (length <= 0)
            break;
        for (ssize_t offset = 0; offset < length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + offset);
            if (event->len > 0 && QString::fromLocal8Bit(event->name) == fileName)
                ++total;
            offset += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    return total;
}
