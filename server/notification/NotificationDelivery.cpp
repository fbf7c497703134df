#include "NotificationDelivery.h"

#include "Log.h"
#include "MailLedger.h"
#include "MailTransport.h"
#include "NotificationPlanner.h"
#include "ReportComposer.h"
#include "ServerMetrics.h"

#include <SmtpSession.h>


#include <exception>
#include <memory>
#include <vector>

namespace NVL::Engineering::VK {

NotificationDelivery::NotificationDelivery(const QString &configurationFile, MailQueue *queue, MailLedger *ledger)
    : m_configurationFile(configurationFile)
    , m_queue(queue)
    , m_ledger(ledger)
{
}

void NotificationDelivery::periodicReport(const NotificationData &notification, const QList<BatteryRecord> &records)
{
    send(notification, ReportComposer::composeReport(records, m_context ? m_context() : ComposeContext{}));
}

void NotificationDelivery::healthAlert(const BatteryRecord &record, const QList<NotificationData> &triggered)
{
    const int healthClassNumber = healthClass(record);
    std::optional<ReportTexts> texts;
    for (const NotificationData &notification : triggered) {
        if (notification.triggerType == SilentTrigger || notification.triggerValue != healthClassNumber)
            continue;
        if (!texts)
            texts = ReportComposer::composeAlert(record, m_context ? m_context() : ComposeContext{});
        send(notification, *texts);
    }
}

void NotificationDelivery::silentAlert(const QList<ReportComposer::Silence> &silences, const QList<NotificationData> &triggered)
{
    if (silences.isEmpty())
        return;
    std::optional<ReportTexts> texts;
    for (const NotificationData &notification : triggered) {
        if (notification.triggerType != SilentTrigger)
            continue;
        if (!texts)
            texts = ReportComposer::composeSilentAlert(silences, m_context ? m_context() : ComposeContext{});
        send(notification, *texts);
    }
}

void NotificationDelivery::send(const NotificationData &notification, const ReportTexts &texts)
{
    if (!m_queue) {
        deliver(notification, texts);
        return;
    }
    // Composing costs the event loop; a mail the queue has no room for is not composed.
    if (!m_queue->hasRoom()) {
        m_queue->refuse(QString::fromStdString(notification.alias));
        return;
    }
    if (auto mail = prepareMail(notification, texts))
        m_queue->enqueue(std::move(*mail));
}

std::optional<PreparedMail> NotificationDelivery::prepareMail(const NotificationData &notification,
                                                              const ReportTexts &texts) const
{
    const std::shared_ptr<const ConfigurationSnapshot::Mail> source
        = m_planner ? m_planner->mailConfiguration() : ConfigurationSnapshot::readMail(m_configurationFile);
    if (!source->error.isEmpty()) {
        Log::error(QStringLiteral("Cannot read the mail settings, notification \"%1\" not sent: %2")
                       .arg(QString::fromStdString(notification.alias), source->error));
        return std::nullopt;
    }

    PreparedMail mail;
    mail.settings = source->smtpSettings;
    mail.sessionLimitMs = m_sessionLimitMs;
    for (const std::string &uuid : notification.recipientList) {
        const auto recipient = source->recipients.find(uuid);
        if (recipient == source->recipients.cend())
            continue;
        (recipient->second.textMessage ? mail.textRecipients : mail.htmlRecipients)
            .append({QString::fromStdString(recipient->second.email), QString::fromStdString(recipient->second.name)});
    }
    // A message nobody would get is not sent; with no recipient at all there is no session.
    if (mail.htmlRecipients.isEmpty() && mail.textRecipients.isEmpty())
        return std::nullopt;
    mail.subject = ReportComposer::mailSubject(notification, texts);
    mail.textSubject = ReportComposer::textMessageSubject(notification, texts);
    mail.plainText = ReportComposer::textMessageText(mail.textSubject, texts);
    const QDateTime now = QDateTime::currentDateTime();
    mail.html = ReportComposer::mailHtml(notification, texts, now);
    mail.htmlText = ReportComposer::mailText(notification, texts, now);
    mail.notificationAlias = QString::fromStdString(notification.alias);
    if (notification.notificationType == NotificationKind::Triggered) {
        mail.kind = PreparedMail::Kind::Alert;
        mail.alertAlias = texts.alertAlias;
        mail.alertSerial = texts.alertSerial;
        mail.alertClass = texts.alertClass;
    }
    return mail;
}

void NotificationDelivery::deliver(const NotificationData &notification, const ReportTexts &texts) const
{
    if (const auto mail = prepareMail(notification, texts)) {
        const SmtpSession::Outcome outcome = MailTransport::send(*mail);
        if (m_ledger)
            m_ledger->record(*mail, outcome);
    }
}

MailQueue::Recorder NotificationDelivery::recorder(MailLedger *ledger, ServerMetrics *metrics)
{
    return [ledger, metrics](const PreparedMail &mail, const SmtpSession::Outcome &outcome, const MailAttempt &attempt) {
        ledger->record(mail, outcome, attempt);
        if (!metrics)
            return;
        // A mail to be tried again has not failed yet.
        const int delivered = int(outcome.sent.count(true));
        const int failed = attempt.retryInSeconds > 0 ? 0 : int(outcome.sent.size()) - delivered;
        metrics->countMails(mail.kind == PreparedMail::Kind::Alert ? ServerMetrics::MailKind::Alert
                                                                   : ServerMetrics::MailKind::Report,
                            delivered, failed);
    };
}


} // namespace NVL::Engineering::VK
