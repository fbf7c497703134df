#pragma once

#include "PreparedMail.h"

#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace NVL::Engineering::VK {

// Sends prepared mails one after the other on a worker thread of its own, in the order they were
// queued, so that a slow or silent mail server never holds up the event loop. Every SMTP object of a
// delivery is made, used and destroyed on the worker. Used from the thread that created the queue.
class MailQueue : public QObject
{
    Q_OBJECT

public:
    using Sender = std::function<void(const PreparedMail &)>;

    // The sender runs on the worker thread, one mail after the other.
    explicit MailQueue(Sender sender, QObject *parent = nullptr);
    ~MailQueue() override;

    // Returns the mail's ticket; tickets rise by one from 1.
    quint64 enqueue(PreparedMail mail);
    // The ticket of the last mail queued, 0 before the first.
    quint64 lastQueued() const { return m_queued; }
    // True when the mail of this ticket and all before it are done (sent, failed or dropped).
    bool isDone(quint64 ticket) const { return ticket <= m_reported; }
    // Mails queued and not yet begun.
    int waiting() const;

    // Lets the delivery in progress end (its SMTP session is bounded by the client's time-outs),
    // drops the mails not yet begun and ends the worker. Returns how many were dropped.
    int stop();

signals:
    // On the owner's thread, when isDone has become true for `ticket` and everything before it.
    void delivered(quint64 ticket);

private:
    Q_INVOKABLE void takeFinished();
    void run();

    Sender m_sender;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::pair<quint64, PreparedMail>> m_pending; // guarded by m_mutex
    quint64 m_finished = 0;                                 // guarded by m_mutex
    bool m_stopping = false;                                // guarded by m_mutex
    quint64 m_queued = 0;   // owner's thread only
    quint64 m_reported = 0; // owner's thread only
    std::thread m_worker;
};

} // namespace NVL::Engineering::VK
