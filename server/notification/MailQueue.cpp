#include "MailQueue.h"

#include <QMetaObject>

#include <algorithm>

namespace NVL::Engineering::VK {

MailQueue::MailQueue(Sender sender, QObject *parent)
    : QObject(parent)
    , m_sender(std::move(sender))
    , m_worker([this] { run(); })
{
}

MailQueue::~MailQueue()
{
    stop();
}

quint64 MailQueue::enqueue(PreparedMail mail)
{
    const quint64 ticket = ++m_queued;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) {
            m_finished = ticket;
        } else {
            m_pending.emplace_back(ticket, std::move(mail));
        }
    }
    m_wake.notify_one();
    return ticket;
}

int MailQueue::waiting() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_pending.size());
}

int MailQueue::stop()
{
    int dropped = 0;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        dropped = int(m_pending.size());
        if (!m_pending.empty())
            m_finished = m_pending.back().first;
        m_pending.clear();
    }
    m_wake.notify_one();
    if (m_worker.joinable())
        m_worker.join();
    takeFinished();
    return dropped;
}

void MailQueue::run()
{
    for (;;) {
        std::pair<quint64, PreparedMail> next;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_pending.empty(); });
            // A stop lets only the delivery in progress finish: nothing queued begins afterwards.
            if (m_stopping)
                return;
            next = std::move(m_pending.front());
            m_pending.pop_front();
        }
        m_sender(next.second);
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_finished = std::max(m_finished, next.first);
        }
        // No arguments: the owner reads the ticket under the mutex.
        QMetaObject::invokeMethod(this, "takeFinished", Qt::QueuedConnection);
    }
}

void MailQueue::takeFinished()
{
    quint64 done = 0;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        done = m_finished;
    }
    if (done <= m_reported)
        return;
    m_reported = done;
    emit delivered(done);
}

} // namespace NVL::Engineering::VK
