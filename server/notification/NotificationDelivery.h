#pragma once

#include "BatteryRecord.h"
#include "ConfigurationSnapshot.h"
#include "MailQueue.h"
#include "PreparedMail.h"
#include "ReportComposer.h"
#include "ReportTexts.h"

#include <ConfigurationData.h>
#include <SmtpSession.h>

#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace NVL::Engineering::VK {

class MailLedger;
class NotificationPlanner;
class ServerMetrics;

// Turns a due notification into mail: takes the SMTP settings and recipients from its source (by
// default the configuration file, read anew), composes the mail and hands it to the queue, or without a
// queue sends it at once (blocking the caller for one SMTP session).
// Threads: made and called on the event loop; the queue it hands mail to owns its own sending thread.
class NotificationDelivery
{
public:
    // Neither is owned. Without a queue a mail goes at once and its outcome goes into the ledger (if
    // any); a queue records through the sender it was given.
    explicit NotificationDelivery(const QString &configurationFile, MailQueue *queue = nullptr,
                                  MailLedger *ledger = nullptr);

    // The settings the planner read with the notifications, instead of reading the file for each mail.
    void setPlanner(const NotificationPlanner *planner) { m_planner = planner; }
    // What the mails tell beyond the records: forecasts and where the dashboard is.
    void setComposeContext(std::function<ComposeContext()> context) { m_context = std::move(context); }
    // The session limit of the mails prepared from now on.
    void setSessionLimitMs(int ms) { m_sessionLimitMs = ms; }

    // The full or summary report of the fleet to one periodic notification.
    void periodicReport(const NotificationData &notification, const QList<BatteryRecord> &records);
    // An alert to every one of `triggered` that is set to the record's health class.
    void healthAlert(const BatteryRecord &record, const QList<NotificationData> &triggered);
    // One "battery silent" alert of all of `silences` to every one of `triggered` of that kind.
    void silentAlert(const QList<ReportComposer::Silence> &silences, const QList<NotificationData> &triggered);

    // Reads the configuration and composes; nothing when there is nobody to send to or the file
    // cannot be read (logged).
    std::optional<PreparedMail> prepareMail(const NotificationData &notification, const ReportTexts &texts) const;
    // Prepares and sends at once, whatever the queue.
    void deliver(const NotificationData &notification, const ReportTexts &texts) const;
    // A queue's recorder: each attempt's outcome into the ledger, and the mails into the metrics.
    static MailQueue::Recorder recorder(MailLedger *ledger, ServerMetrics *metrics = nullptr);

private:
    void send(const NotificationData &notification, const ReportTexts &texts);

    QString m_configurationFile;
    MailQueue *m_queue;
    MailLedger *m_ledger;
    const NotificationPlanner *m_planner = nullptr;
    std::function<ComposeContext()> m_context;
    int m_sessionLimitMs = SmtpSession::DefaultSessionLimitMs;
};

} // namespace NVL::Engineering::VK
