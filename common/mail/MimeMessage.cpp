#include "MimeMessage.h"

#include "MimeMultiPart.h"
#include "QuotedPrintable.h"

#include <QDateTime>
#include <typeinfo>

namespace {

// A CR or LF in a header value would start a new header line of the sender's choosing.
QString singleLine(QString text)
{
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

QString quotedPrintableWord(const QString &text)
{
    QString encoded = QuotedPrintable::encode(text.toUtf8());
    encoded.replace(QLatin1Char(' '), QLatin1Char('_'));
    encoded.replace(QLatin1Char(':'), QStringLiteral("=3A"));
    return encoded;
}

} // namespace

MimeMessage::MimeMessage(bool createAutoMimeContent, QObject *parent)
    : QObject(parent), ownsContent(createAutoMimeContent)
{
    if (createAutoMimeContent)
        content = new MimeMultiPart(MimeMultiPart::Related);
}

MimeMessage::~MimeMessage()
{
    if (ownsContent)
        delete content;
}

void MimeMessage::setSender(EmailAddress *sender)
{
    this->sender = sender;
}

void MimeMessage::addRecipient(EmailAddress *recipient, RecipientKind kind)
{
    if (!recipient)
        return;
    switch (kind) {
    case To:
        toList.append(recipient);
        break;
    case Cc:
        ccList.append(recipient);
        break;
    case Bcc:
        bccList.append(recipient);
        break;
    }
}

void MimeMessage::setSubject(const QString &subject)
{
    this->subject = subject;
}

void MimeMessage::setHeaderEncoding(MimePart::TransferEncoding encoding)
{
    headerEncoding = encoding;
}

void MimeMessage::addPart(MimePart *part)
{
    // Only a plain multipart takes parts; derived kinds of content drop them.
    if (!content)
        return;
    const MimePart &current = *content;
    if (typeid(current) == typeid(MimeMultiPart))
        static_cast<MimeMultiPart *>(content)->addPart(part);
}

EmailAddress *MimeMessage::getSender() const
{
    return sender;
}

const QList<EmailAddress *> &MimeMessage::recipients(RecipientKind kind) const
{
    switch (kind) {
    case Cc:
        return ccList;
    case Bcc:
        return bccList;
    case To:
        break;
    }
    return toList;
}

QString MimeMessage::getSubject() const
{
    return subject;
}

MimePart *MimeMessage::getContent() const
{
    return content;
}

MimePart::TransferEncoding MimeMessage::getHeaderEncoding() const
{
    return headerEncoding;
}

QString MimeMessage::encodedName(const QString &name) const
{
    const QString text = singleLine(name);
    switch (headerEncoding) {
    case MimePart::EncodingBase64:
        return QStringLiteral(" =?utf-8?B?") + QString::fromLatin1(text.toUtf8().toBase64())
            + QStringLiteral("?=");
    case MimePart::EncodingQuotedPrintable:
        return QStringLiteral(" =?utf-8?Q?") + quotedPrintableWord(text) + QStringLiteral("?=");
    default:
        return QLatin1Char(' ') + text;
    }
}

QString MimeMessage::encodedSubject() const
{
    const QString text = singleLine(subject);
    switch (headerEncoding) {
    case MimePart::EncodingBase64:
        return QStringLiteral("=?utf-8?B?") + QString::fromLatin1(text.toUtf8().toBase64())
            + QStringLiteral("?=");
    case MimePart::EncodingQuotedPrintable:
        return QStringLiteral("=?utf-8?Q?") + quotedPrintableWord(text) + QStringLiteral("?=");
    default:
        return text;
    }
}

QString MimeMessage::addressList(const QList<EmailAddress *> &list) const
{
    QString out;
    bool first = true;
    for (const EmailAddress *address : list) {
        if (!first)
            out += QLatin1Char(',');
        first = false;
        if (!address->getName().isEmpty())
            out += encodedName(address->getName());
        out += QStringLiteral(" <") + address->getAddress() + QLatin1Char('>');
    }
    return out;
}

QString MimeMessage::toString()
{
    if (!sender)
        return QString();

    QString mime = QStringLiteral("From:");
    if (!sender->getName().isEmpty())
        mime += encodedName(sender->getName());
    mime += QStringLiteral(" <") + sender->getAddress() + QStringLiteral(">\r\n");

    mime += QStringLiteral("To:") + addressList(toList) + QStringLiteral("\r\n");
    if (!ccList.isEmpty())
        mime += QStringLiteral("Cc:") + addressList(ccList) + QStringLiteral("\r\n");

    mime += QStringLiteral("Subject: ") + encodedSubject() + QStringLiteral("\r\n");
    mime += QStringLiteral("MIME-Version: 1.0\r\n");
    mime += QStringLiteral("Date: %1\r\n")
                .arg(QDateTime::currentDateTime().toString(Qt::RFC2822Date));

    if (content)
        mime += content->toString();
    return mime;
}
