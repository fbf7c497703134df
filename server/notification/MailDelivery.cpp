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
#include <memory>
#include <vector>

namespace NVL::Engineering::VK {

void NotificationManager::deliver(const NotificationData &notification, const ReportTexts &texts)
{
    SmtpSettingsData settings;
    RecipientList recipients;
    try {
        const ConfigurationFile file;
        settings = file.smtpSettings();
        recipients = file.recipients();
    } catch (const std::exception &e) {
        ServiceBase::logEvent(QStringLiteral("Cannot read the mail settings, notification \"%1\" not sent: %2")
                                  .arg(QString::fromStdString(notification.alias), QString::fromUtf8(e.what())),
                              LogType::Error);
        return;
    }

    // Declared before the messages, which only point at them.
    EmailAddress sender(QString::fromStdString(settings.sender.email), QString::fromStdString(settings.sender.name));
    std::vector<std::unique_ptr<EmailAddress>> addresses;
    MimeHtml htmlPart(mailHtml(notification, texts, QDateTime::currentDateTime()));
    // Quoted-printable keeps every line of a long report within the 76 characters mail allows.
    htmlPart.setEncoding(MimePart::EncodingQuotedPrintable);
    MimeInlineFile logo(new QFile(QStringLiteral(":/tamsel.png")));
    logo.setContentId(QStringLiteral("tamsel"));
    logo.setContentType(QStringLiteral("image/png"));
    MimeText textPart(texts.plainText);

    MimeMessage htmlMessage(true);
    MimeMessage textMessage(true);
    htmlMessage.setSender(&sender);
    textMessage.setSender(&sender);

    for (const std::string &uuid : notification.recipientList) {
        const auto recipient = std::find_if(recipients.cbegin(), recipients.cend(),
                                            [&uuid](const RecipientData &r) { return r.uuid == uuid; });
        if (recipient == recipients.cend())
            continue;
        addresses.push_back(std::make_unique<EmailAddress>(QString::fromStdString(recipient->email),
                                                           QString::fromStdString(recipient->name)));
        (recipient->textMessage ? textMessage : htmlMessage).addRecipient(addresses.back().get(), MimeMessage::To);
    }
    // A message nobody would get is not sent; with no recipient at all there is no session.
    const bool sendHtml = !htmlMessage.recipients(MimeMessage::To).isEmpty();
    const bool sendText = !textMessage.recipients(MimeMessage::To).isEmpty();
    if (!sendHtml && !sendText)
        return;

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

} // namespace NVL::Engineering::VK
