#include "NotificationManager.h"

#include "ServiceBase.h"

#include <ConfigurationFile.h>
#include <EmailAddress.h>
#include <MimeHtml.h>
#include <MimeInlineFile.h>
#include <MimeMessage.h>
#include <MimeText.h>
#include <SmtpClient.h>

#include <QFile>

#include <algorithm>

#include <exception>
#include <optional>
#include <memory>
#include <vector>

namespace NVL::Engineering::VK {

std::optional<PreparedMail> NotificationManager::prepareMail(const NotificationData &notification,
                                                             const ReportTexts &texts)
{
    PreparedMail mail;
    RecipientList recipients;
    try {
        const ConfigurationFile file;
        mail.settings = file.smtpSettings();
        recipients = file.recipients();
    } catch (const std::exception &e) {
        ServiceBase::logEvent(QStringLiteral("Cannot read the mail settings, notification \"%1\" not sent: %2")
                                  .arg(QString::fromStdString(notification.alias), QString::fromUtf8(e.what())),
                              LogType::Error);
        return std::nullopt;
    }

    for (const std::string &uuid : notification.recipientList) {
        const auto recipient = std::find_if(recipients.cbegin(), recipients.cend(),
                                            [&uuid](const RecipientData &r) { return r.uuid == uuid; });
        if (recipient == recipients.cend())
            continue;
        (recipient->textMessage ? mail.textRecipients : mail.htmlRecipients)
            .append({QString::fromStdString(recipient->email), QString::fromStdString(recipient->name)});
    }
    // A message nobody would get is not sent; with no recipient at all there is no session.
    if (mail.htmlRecipients.isEmpty() && mail.textRecipients.isEmpty())
        return std::nullopt;
    mail.html = mailHtml(notification, texts, QDateTime::currentDateTime());
    mail.plainText = texts.plainText;
    return mail;
}

void NotificationManager::sendMail(const PreparedMail &mail)
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

    MimeMessage htmlMessage(true);
    MimeMessage textMessage(true);
    htmlMessage.setSender(&sender);
    textMessage.setSender(&sender);
    const auto addAll = [&addresses](const QList<PreparedMail::Address> &list, MimeMessage &message) {
        for (const PreparedMail::Address &address : list) {
            addresses.push_back(std::make_unique<EmailAddress>(address.email, address.name));
            message.addRecipient(addresses.back().get(), MimeMessage::To);
        }
    };
    addAll(mail.htmlRecipients, htmlMessage);
    addAll(mail.textRecipients, textMessage);
    const bool sendHtml = !mail.htmlRecipients.isEmpty();
    const bool sendText = !mail.textRecipients.isEmpty();

    htmlMessage.addPart(&htmlPart);
    htmlMessage.addPart(&logo);
    textMessage.addPart(&textPart);

    // Without authentication the credentials stay here: no AUTH goes out, and the login step is done.
    const bool authenticate = settings.authentication.enabled;
    SmtpClient client(QString::fromStdString(settings.server), settings.port, int(settings.security));
    if (authenticate) {
        client.setMechanism(SmtpClient::Login);
        client.setUser(QString::fromStdString(settings.authentication.username));
        client.setPassword(QString::fromStdString(settings.authentication.password));
    }

    if (!client.connectToServer())
        qDebug("Failed to connect to host!");
    if (authenticate && !client.login())
        qDebug("Failed to login!");
    if (sendHtml && !client.sendMail(htmlMessage))
        qDebug("Failed to send html mail!");
    if (sendText && !client.sendMail(textMessage))
        qDebug("Failed to send text mail!");
    client.quit();
}

void NotificationManager::deliver(const NotificationData &notification, const ReportTexts &texts)
{
    if (const auto mail = prepareMail(notification, texts))
        sendMail(*mail);
}

} // namespace NVL::Engineering::VK
