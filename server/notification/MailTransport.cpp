#include "MailTransport.h"

#include <EmailAddress.h>
#include <MimeHtml.h>
#include <MimeInlineFile.h>
#include <MimeMessage.h>
#include <MimeMultiPart.h>
#include <MimeText.h>

#include <QFile>
#include <QtDebug>

#include <memory>
#include <vector>

namespace NVL::Engineering::VK {

SmtpSession::Outcome MailTransport::send(const PreparedMail &mail)
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
