#include "MailQueue.h"

#include "NotificationManager.h"

#include <QMetaObject>

#include <algorithm>

namespace NVL::Engineering::VK {

MailQueue::MailQueue(QObject *parent)
    : MailQueue(&NotificationManager::sendMail, parent)
{
}

MailQueue::MailQueue(Sender sender, QObject *parent)
    : QObject(parent)
    , sender(std::move(sender))
    , worker([this] { run(); })
{
}

MailQueue::~MailQueue()
{
    stop();
}

quint64 MailQueue::enqueue(PreparedMail mail)
{
    const quint64 ticket = ++queued;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (stopping) {
            finished = ticket;
        } else {
            pending.emplace_back(ticket, std::move(mail));
        }
    }
    wake.notify_one();
    return ticket;
}

int MailQueue::stop()
{
    int dropped = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        dropped = int(pending.size());
        if (!pending.empty())
            finished = pending.back().first;
        pending.clear();
    }
    wake.notify_one();
    if (worker.joinable())
        worker.join();
    takeFinished();
    return dropped;
}

void MailQueue::run()
{
    for (;;) {
        std::pair<quint64, PreparedMail> next;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this] { return stopping || !pending.empty(); });
            // A stop lets only the delivery in progress finish: nothing queued begins afterwards.
            if (stopping)
                return;
            next = std::move(pending.front());
            pending.pop_front();
        }
        sender(next.second);
        {
            const std::lock_guard<std::mutex> lock(mutex);
            finished = std::max(finished, next.first);
        }
        // No arguments: the owner reads the ticket under the mutex.
        QMetaObject::invokeMethod(this, "takeFinished", Qt::QueuedConnection);
    }
}

void MailQueue::takeFinished()
{
    quint64 done = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        done = finished;
    }
    if (done <= reported)
        return;
    reported = done;
    emit delivered(done);
}

} // namespace NVL::Engineering::VK
