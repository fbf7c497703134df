#include "FifoWatchdog.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <fcntl.h>
#include <unistd.h>

FifoWatchdog::FifoWatchdog(const QString &fifoPath, int graceMs)
{
    const QByteArray path = QFile::encodeName(fifoPath);
    m_thread.reset(QThread::create([this, path, graceMs] {
        const QDeadlineTimer grace(graceMs);
        while (!m_stop.load()) {
            QThread::msleep(20);
            if (!grace.hasExpired())
                continue;
            // Without a reader a non-blocking open for writing fails at once.
            const int fd = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                m_released.store(true);
                ::close(fd);
            }
        }
    }));
    m_thread->start();
}

FifoWatchdog::~FifoWatchdog()
{
    stop();
}

bool FifoWatchdog::stop()
{
    m_stop.store(true);
    m_thread->wait();
    return m_released.load();
}
