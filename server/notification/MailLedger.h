#pragma once

#include "MailAttempt.h"
#include "PreparedMail.h"

#include <SmtpSession.h>

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>

#include <functional>
#include <mutex>

namespace NVL::Engineering::VK {

// The server's account of the mails it sent: per notification when it last mailed and whether that
// worked, and counts by kind. It writes the mail lines of the log as well: one Information per
// delivered mail, one Warning per failed one, where the same failure of a notification repeating
// comes again only after an hour, with its count, and the first success after failures says so.
// Never a password, never the mail's content. Safe from any thread: the mail worker records, others read.
class MailLedger
{
public:
    using Clock = std::function<QDateTime()>;
    static constexpr int RepeatLogSeconds = 3600;

    // Notifications are told apart by their alias, as the log names them.
    struct NotificationRecord
    {
        QString alias;
        QDateTime lastAttempt;
        bool lastSucceeded = false;
        QString lastFailure;          // "<server>:<port> failed at <step>: <reason>"; empty after a success
        bool lastFailureTransient = false;
        QDateTime lastSuccess;        // invalid while none went
        int failuresInARow = 0;
    };

    struct Totals
    {
        quint64 reportsDelivered = 0;
        quint64 reportsFailed = 0;
        quint64 alertsDelivered = 0;
        quint64 alertsFailed = 0;
        QDateTime lastDelivery; // of any mail; invalid while none went
    };

    // The clock gives the time of each record; the system's by default.
    explicit MailLedger(Clock clock = {});

    // The outcome of one delivery's SMTP session, logged. A delivery counts as failed unless every
    // one of its messages went; one to be tried again is counted when its last attempt ends, and its
    // line says when it goes again. A mail given up is one Error.
    void record(const PreparedMail &mail, const SmtpSession::Outcome &outcome, const MailAttempt &attempt = {});

    QList<NotificationRecord> notifications() const; // in order of alias
    Totals totals() const;

private:
    struct Entry
    {
        NotificationRecord record;
        QDateTime failingSince;  // the first of failuresInARow
        QString repeatedFailure; // the failure last logged, while it repeats
        int repeats = 0;         // how often in a row, the logged one included
        QDateTime repeatingSince;
        QDateTime repeatLogged;
    };

    Clock m_clock;
    mutable std::mutex m_mutex;
    QMap<QString, Entry> m_entries; // guarded by m_mutex
    Totals m_totals;                // guarded by m_mutex
};

} // namespace NVL::Engineering::VK
