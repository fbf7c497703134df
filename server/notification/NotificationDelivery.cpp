#include "NotificationDelivery.h"

#include "Log.h"
#include "MailLedger.h"
#include "ReportComposer.h"

#include <EmailAddress.h>
#include <MimeHtml.h>
#include <MimeInlineFile.h>
#include <MimeMessage.h>
#include <MimeMultiPart.h>
#include <MimeText.h>
#include <SmtpSession.h>

#include <QFile>

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
        if (notification.triggerValue != healthClassNumber)
            continue;
        if (!texts)
            texts = ReportComposer::composeAlert(record, m_context ? m_context() : ComposeContext{});
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
        = m_mailSource ? m_mailSource() : ConfigurationSnapshot::readMail(m_configurationFile);
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
    const QDateTime now = QDateTime::currentDateTime();
    mail.html = ReportComposer::mailHtml(notification, texts, now);
    mail.htmlText = ReportComposer::mailText(notification, texts, now);
    mail.plainText = texts.plainText;
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
        const SmtpSession::Outcome outcome = sendMail(*mail);
        if (m_ledger)
            m_ledger->record(*mail, outcome);
    }
}

MailQueue::Recorder NotificationDelivery::recorder(MailLedger *ledger)
{
    return [ledger](const PreparedMail &mail, const SmtpSession::Outcome &outcome, const MailAttempt &attempt) {
        ledger->record(mail, outcome, attempt);
    };
}

SmtpSession::Outcome NotificationDelivery::sendMail(const PreparedMail &mail)
{
    const SmtpSettingsData &settings = mail.settings;
    // Declared before the messages, which only point at them.
    EmailAddress sender(QString::fromStdString(settings.sender.email), QString::fromStdString(settings.sender.name));
    std::vector<std::unique_ptr<EmailAddress>> addresses;
    MimeHtml htmlPart(mail.html);
    // Quoted-printable keeps every line of a long report within the 76 characters mail allows.
    htmlPart.setEncoding(MimePart::EncodingQuotedPrintable);
    MimeInlineFile logo(new QFile(QStringLiteral(":/tamsel.png")));
    logo.setContentId(QStringLiteral("tamsel"));
    logo.setContentType(QStringLiteral("image/png"));
    MimeText textPart(mail.plainText);
    // A reader that does not show HTML shows the plain text beside it, which says the same.
    MimeText alternativeText(mail.htmlText);
    alternativeText.setEncoding(MimePart::EncodingQuotedPrintable);
    MimeMultiPart related(MimeMultiPart::Related);
    related.addPart(&htmlPart);
    related.addPart(&logo);
    MimeMultiPart alternative(MimeMultiPart::Alternative);
    alternative.addPart(&alternativeText);
    alternative.addPart(&related);

    MimeMessage htmlMessage(false);
    MimeMessage textMessage(true);
    htmlMessage.setSender(&sender);
    textMessage.setSender(&sender);
    htmlMessage.setSubject(mail.subject);
    textMessage.setSubject(mail.textSubject);
    const auto addAll = [&addresses](const QList<PreparedMail::Address> &list, MimeMessage &message) {
        for (const PreparedMail::Address &address : list) {
            addresses.push_back(std::make_unique<EmailAddress>(address.email, address.name));
            message.addRecipient(addresses.back().get(), MimeMessage::To);
        }
    };
    addAll(mail.htmlRecipients, htmlMessage);
    addAll(mail.textRecipients, textMessage);
    htmlMessage.setContent(&alternative);
    textMessage.addPart(&textPart);

    QList<MimeMessage *> messages;
    if (!mail.htmlRecipients.isEmpty())
        messages.append(&htmlMessage);
    if (!mail.textRecipients.isEmpty())
        messages.append(&textMessage);
    const SmtpSession::Outcome outcome = SmtpSession::run(settings, messages, mail.sessionLimitMs);

    if (!outcome.connected)
        qDebug("Failed to connect to host!");
    if (!outcome.loggedIn)
        qDebug("Failed to login!");
    for (qsizetype i = 0; i < messages.size(); ++i) {
        if (!outcome.sent.at(i))
            qDebug(messages.at(i) == &htmlMessage ? "Failed to send html mail!" : "Failed to send text mail!");
    }
    return outcome;
}

} // namespace NVL::Engineering::VK
