#pragma once

#include "BatteryRecord.h"
#include "PreparedMail.h"
#include "ReportTexts.h"

#include <SmtpSession.h>

#include <ConfigurationData.h>

#include <QList>
#include <QString>

#include <optional>

namespace NVL::Engineering::VK {

class MailQueue;

// Turns a due notification into mail: reads the SMTP settings and recipients from the configuration
// file anew, composes the mail and hands it to the queue, or without a queue sends it at once (blocking
// the caller for one SMTP session).
class NotificationDelivery
{
public:
    // The queue is not owned; null sends at once.
    explicit NotificationDelivery(const QString &configurationFile, MailQueue *queue = nullptr);

    // The full or summary report of the fleet to one periodic notification.
    void periodicReport(const NotificationData &notification, const QList<BatteryRecord> &records);
    // An alert to every one of `triggered` that is set to the record's health class.
    void healthAlert(const BatteryRecord &record, const QList<NotificationData> &triggered);

    // Reads the configuration and composes; nothing when there is nobody to send to or the file
    // cannot be read (logged).
    std::optional<PreparedMail> prepareMail(const NotificationData &notification, const ReportTexts &texts) const;
    // Prepares and sends at once, whatever the queue.
    void deliver(const NotificationData &notification, const ReportTexts &texts) const;
    // The SMTP session of one prepared mail; safe on any thread. The queue's sender. The outcome's sent
    // list has the HTML message first when there is one, then the text message.
    static SmtpSession::Outcome sendMail(const PreparedMail &mail);

private:
    void send(const NotificationData &notification, const ReportTexts &texts);

    QString m_configurationFile;
    MailQueue *m_queue;
};

} // namespace NVL::Engineering::VK
