#pragma once

#include "MailAttempt.h"
#include "MailSettings.h"
#include "PreparedMail.h"

#include <SmtpSession.h>

#include <QObject>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <thread>

namespace NVL::Engineering::VK {

struct MailQueueLimits
{
    int retryFirstSeconds = MailSettings().retryFirstSeconds;
    int retryForSeconds = MailSettings().retryForSeconds; // 0: a transient failure is final as well
    int maxMails = 1000;        // waiting, whether for a first attempt or another
    qint64 maxBytes = 64 << 20; // PreparedMail::bytes() of those
    // Where the mails a stop cuts short wait for the next start (MailSpool); empty: they are dropped.
    QString spoolFile;
};

// Sends prepared mails one after the other on a worker thread of its own, in the order they were
// queued, so that a slow or silent mail server never holds up the event loop. Every SMTP object of a
// delivery is made, used and destroyed on the worker. Used from the thread that created the queue.
//
// A transient failure (no connection, a time-out, a 4xx reply) is tried again after a wait that doubles
// from retryFirstSeconds up to RetryMaxSeconds, for retryForSeconds from the mail's first failure; the
// mail keeps its place, so later mails of its notification wait behind it while other notifications'
// mails go on. Messages of the mail that a session already sent are not sent again.
class MailQueue : public QObject
{
    Q_OBJECT

public:
    // Runs on the worker thread, one mail after the other.
    using Sender = std::function<SmtpSession::Outcome(const PreparedMail &)>;
    // Runs on the worker after each attempt, with the mail as that attempt sent it.
    using Recorder = std::function<void(const PreparedMail &, const SmtpSession::Outcome &, const MailAttempt &)>;

    static constexpr int RetryMaxSeconds = 900;
    // What a stop gives the mail in progress before cutting its conversation short.
    static constexpr int StopGraceMs = 2000;
    using Limits = MailQueueLimits;

    explicit MailQueue(Sender sender, Recorder recorder = {}, Limits limits = {}, QObject *parent = nullptr);
    ~MailQueue() override;

    // Returns the mail's ticket; tickets rise by one from 1. A mail past the queue's limits is dropped
    // (an Error says so) and its ticket is done at once.
    quint64 enqueue(PreparedMail mail);
    // The SMTP settings every attempt from now on uses, whatever a waiting mail was queued with: a
    // corrected port or password rescues the mails waiting for their retry.
    void setSettings(const SmtpSettingsData &settings);
    // Whether a mail of ordinary size would be taken now; composing one that is not is wasted.
    bool hasRoom() const;
    // Drops a notification's mail that was not composed for want of room, as enqueue drops one.
    void refuse(const QString &notificationAlias);
    // The ticket of the last mail queued, 0 before the first.
    quint64 lastQueued() const { return m_queued; }
    // True when the mail of this ticket and all before it are done (sent, failed or dropped).
    bool isDone(quint64 ticket) const { return ticket <= m_reported; }
    // Mails waiting for an attempt, first or not; the one being sent is not among them.
    int waiting() const;

    struct Dropped
    {
        int notBegun = 0; // never tried
        int retries = 0;  // failed before and waiting to be tried again
        int kept = 0;     // cut short by the stop and kept in the spool for the next start
    };
    // Lets the delivery in progress end within StopGraceMs and then cuts its conversation short, drops
    // the mails waiting and ends the worker.
    Dropped stop();

signals:
    // On the owner's thread, when isDone has become true for `ticket` and everything before it.
    void delivered(quint64 ticket);

private:
    using Clock = std::chrono::steady_clock;
    struct Entry
    {
        quint64 ticket = 0;
        PreparedMail mail;
        qint64 bytes = 0;
        bool inFlight = false;
        int attempts = 0;
        QDateTime failingSince;   // wall clock, for the log
        Clock::time_point firstFailure;
        Clock::time_point notBefore;
        int nextWaitSeconds = 0;
    };

    Q_INVOKABLE void takeFinished();
    void run();
    // The first entry that may go now; none when every one waits for its time or behind its notification.
    std::list<Entry>::iterator nextDue(Clock::time_point now, Clock::time_point *wakeAt);
    // Decides, after an attempt that failed, whether and when the mail goes again.
    MailAttempt judge(Entry &entry, const SmtpSession::Outcome &outcome) const;
    void noteFinishedLocked();
    void logRefusal(const QString &notificationAlias);

    Sender m_sender;
    Recorder m_recorder;
    const Limits m_limits;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::list<Entry> m_pending; // guarded by m_mutex; in ticket order; the in-flight entry is the worker's
    qint64 m_pendingBytes = 0;  // guarded by m_mutex
    quint64 m_lastTicket = 0;   // guarded by m_mutex
    quint64 m_finished = 0;     // guarded by m_mutex
    bool m_stopping = false;    // guarded by m_mutex
    std::optional<SmtpSettingsData> m_settings; // guarded by m_mutex
    int m_retriesDroppedAtStop = 0; // guarded by m_mutex
    QList<PreparedMail> m_cutAtStop; // guarded by m_mutex
    quint64 m_queued = 0;   // owner's thread only
    quint64 m_reported = 0; // owner's thread only
    int m_refusedInARow = 0; // owner's thread only: mails refused since the last one taken
    std::thread m_worker;
};

} // namespace NVL::Engineering::VK
