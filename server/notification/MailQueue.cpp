#include "MailQueue.h"

#include "Log.h"
#include "MailSpool.h"
#include "SmtpClient.h"

#include <QDeadlineTimer>
#include <QMetaObject>
#include <QSet>

#include <algorithm>
#include <utility>

namespace NVL::Engineering::VK {

MailQueue::MailQueue(Sender sender, Recorder recorder, Limits limits, QObject *parent)
    : QObject(parent)
    , m_sender(std::move(sender))
    , m_recorder(std::move(recorder))
    , m_limits(limits)
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
    const qint64 bytes = mail.bytes();
    const QString alias = mail.notificationAlias;
    bool taken = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_lastTicket = ticket;
        if (!m_stopping && int(m_pending.size()) < m_limits.maxMails && m_pendingBytes + bytes <= m_limits.maxBytes) {
            Entry entry;
            entry.ticket = ticket;
            entry.mail = std::move(mail);
            entry.bytes = bytes;
            m_pending.push_back(std::move(entry));
            m_pendingBytes += bytes;
            taken = true;
        }
        noteFinishedLocked();
    }
    if (taken) {
        m_wake.notify_one();
        if (m_refusedInARow > 1)
            Log::error(QStringLiteral("%1 more notification mails were dropped while the mail queue was full")
                           .arg(m_refusedInARow - 1));
        m_refusedInARow = 0;
    } else {
        logRefusal(alias);
    }
    QMetaObject::invokeMethod(this, "takeFinished", Qt::QueuedConnection);
    return ticket;
}

bool MailQueue::hasRoom() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return !m_stopping && int(m_pending.size()) < m_limits.maxMails && m_pendingBytes < m_limits.maxBytes;
}

void MailQueue::refuse(const QString &notificationAlias)
{
    const quint64 ticket = ++m_queued;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_lastTicket = ticket;
        noteFinishedLocked();
    }
    logRefusal(notificationAlias);
    QMetaObject::invokeMethod(this, "takeFinished", Qt::QueuedConnection);
}

void MailQueue::logRefusal(const QString &notificationAlias)
{
    int waitingMails = 0;
    qint64 waitingBytes = 0;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        // A stopped queue takes nothing; that is not worth a line.
        if (m_stopping)
            return;
        waitingMails = int(m_pending.size());
        waitingBytes = m_pendingBytes;
    }
    // One line when the queue fills; the mails it refuses after that are counted.
    if (m_refusedInARow++ > 0)
        return;
    Log::error(QStringLiteral("Mail for \"%1\" dropped: %2 mails (%3 MiB) wait to be sent, and the "
                              "mail queue holds at most %4 mails or %5 MiB")
                   .arg(notificationAlias)
                   .arg(waitingMails)
                   .arg(double(waitingBytes) / (1 << 20), 0, 'f', 1)
                   .arg(m_limits.maxMails)
                   .arg(m_limits.maxBytes >> 20));
}

int MailQueue::waiting() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return int(std::count_if(m_pending.cbegin(), m_pending.cend(), [](const Entry &e) { return !e.inFlight; }));
}

MailQueue::Dropped MailQueue::stop()
{
    Dropped dropped;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            if (it->inFlight) {
                ++it;
                continue;
            }
            ++(it->attempts > 0 ? dropped.retries : dropped.notBegun);
            m_pendingBytes -= it->bytes;
            it = m_pending.erase(it);
        }
    }
    m_wake.notify_one();
    // The mail in progress may finish for a moment; then its conversation is cut short, so that a
    // silent mail server never holds the stop beyond its grace (the cut mail is counted as dropped).
    const auto inFlight = [this] {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return std::any_of(m_pending.begin(), m_pending.end(), [](const Entry &e) { return e.inFlight; });
    };
    const QDeadlineTimer grace(StopGraceMs);
    while (inFlight() && !grace.hasExpired())
        std::this_thread::sleep_for(std::chrono::milliseconds(SmtpClient::InterruptSliceMs));
    if (inFlight())
        SmtpClient::interruptAll();
    if (m_worker.joinable())
        m_worker.join();
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        dropped.retries += std::exchange(m_retriesDroppedAtStop, 0);
        if (!m_cutAtStop.isEmpty()) {
            if (MailSpool::keep(m_limits.spoolFile, m_cutAtStop)) {
                dropped.kept = int(m_cutAtStop.size());
            } else {
                Log::error(QStringLiteral("%1 mail(s) cut short by the stop not kept: %2 cannot be written")
                               .arg(m_cutAtStop.size())
                               .arg(m_limits.spoolFile));
                dropped.retries += int(m_cutAtStop.size());
            }
            m_cutAtStop.clear();
        }
        noteFinishedLocked();
    }
    takeFinished();
    return dropped;
}

std::list<MailQueue::Entry>::iterator MailQueue::nextDue(Clock::time_point now, Clock::time_point *wakeAt)
{
    // A mail waiting for its next attempt holds back the later mails of its notification.
    QSet<QString> held;
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (held.contains(it->mail.notificationAlias))
            continue;
        if (it->notBefore > now) {
            held.insert(it->mail.notificationAlias);
            *wakeAt = std::min(*wakeAt, it->notBefore);
            continue;
        }
        return it;
    }
    return m_pending.end();
}

void MailQueue::setSettings(const SmtpSettingsData &settings)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_settings = settings;
}

void MailQueue::run()
{
    for (;;) {
        std::list<Entry>::iterator next;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            for (;;) {
                // A stop lets only the delivery in progress finish: nothing waiting begins afterwards.
                if (m_stopping)
                    return;
                Clock::time_point wakeAt = Clock::time_point::max();
                next = nextDue(Clock::now(), &wakeAt);
                if (next != m_pending.end())
                    break;
                if (wakeAt == Clock::time_point::max())
                    m_wake.wait(lock);
                else
                    m_wake.wait_until(lock, wakeAt);
            }
            next->inFlight = true;
            ++next->attempts;
            if (m_settings)
                next->mail.settings = *m_settings;
        }
        // Only this thread touches an entry in flight, and nothing removes it meanwhile.
        Entry &entry = *next;
        const SmtpSession::Outcome outcome = m_sender(entry.mail);
        MailAttempt attempt = judge(entry, outcome);
        {
            // A stop drops the mail rather than trying it again; its line tells no next attempt.
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping && attempt.retryInSeconds > 0) {
                attempt.retryInSeconds = 0;
                // What the server did not take goes again after the next start; a message that ended
                // without its reply may have been taken, and is not sent twice.
                PreparedMail rest = entry.mail;
                rest.keepUnsent(outcome.sent);
                if (!m_limits.spoolFile.isEmpty() && !outcome.failure.mayHaveBeenAccepted && rest.recipientCount() > 0)
                    m_cutAtStop.append(rest);
                else
                    ++m_retriesDroppedAtStop;
            }
        }
        if (m_recorder)
            m_recorder(entry.mail, outcome, attempt);
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (attempt.retryInSeconds > 0) {
                entry.mail.keepUnsent(outcome.sent);
                m_pendingBytes -= entry.bytes;
                entry.bytes = entry.mail.bytes();
                m_pendingBytes += entry.bytes;
                entry.inFlight = false;
            } else {
                m_pendingBytes -= entry.bytes;
                m_pending.erase(next);
            }
            noteFinishedLocked();
        }
        // No arguments: the owner reads the ticket under the mutex.
        QMetaObject::invokeMethod(this, "takeFinished", Qt::QueuedConnection);
    }
}

MailAttempt MailQueue::judge(Entry &entry, const SmtpSession::Outcome &outcome) const
{
    MailAttempt attempt;
    attempt.number = entry.attempts;
    attempt.failingSince = entry.failingSince;
    const bool delivered = !outcome.sent.isEmpty() && !outcome.sent.contains(false);
    if (delivered)
        return attempt;

    const Clock::time_point now = Clock::now();
    if (!entry.failingSince.isValid()) {
        entry.failingSince = QDateTime::currentDateTime();
        entry.firstFailure = now;
        entry.nextWaitSeconds = std::max(m_limits.retryFirstSeconds, 1);
        attempt.failingSince = entry.failingSince;
    }
    if (!outcome.failure.transient || m_limits.retryForSeconds <= 0)
        return attempt;
    const qint64 left = m_limits.retryForSeconds
        - std::chrono::duration_cast<std::chrono::seconds>(now - entry.firstFailure).count();
    if (left <= 0) {
        attempt.gaveUp = true;
        return attempt;
    }
    attempt.retryInSeconds = int(std::min<qint64>(entry.nextWaitSeconds, left));
    entry.notBefore = now + std::chrono::seconds(attempt.retryInSeconds);
    entry.nextWaitSeconds = std::min(entry.nextWaitSeconds * 2, RetryMaxSeconds);
    return attempt;
}

void MailQueue::noteFinishedLocked()
{
    // Tickets below the oldest mail still waiting are done, whatever order the others ended in.
    m_finished = m_pending.empty() ? m_lastTicket : m_pending.front().ticket - 1;
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
