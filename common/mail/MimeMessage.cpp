#include "MimeMessage.h"

#include "MimeHeaderField.h"
#include "MimeMultiPart.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSysInfo>
#include <typeinfo>

namespace NVL::Engineering::VK {

namespace {

// A CR or LF in a header value would start a new header line of the sender's choosing.
QString singleLine(QString text)
{
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

bool isDotAtomDomain(const QString &domain)
{
    static const QRegularExpression dotAtom(
        QStringLiteral("^[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+(\\.[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+)*$"));
    return dotAtom.match(domain).hasMatch();
}

// The sender's domain ties the identifier to the sender; without a usable one the host
// name does, and "localhost" keeps the identifier well-formed when even that is unusable.
QString messageIdDomain(const QString &senderAddress)
{
    const qsizetype at = senderAddress.lastIndexOf(QLatin1Char('@'));
    const QString domain = at >= 0 ? senderAddress.mid(at + 1) : QString();
    if (isDotAtomDomain(domain))
        return domain;
    const QString host = QSysInfo::machineHostName();
    if (isDotAtomDomain(host))
        return host;
    return QStringLiteral("localhost");
}

// 16 bytes from the system's generator: no two messages anywhere are expected to share one.
QString randomIdentifier()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex());
}

} // namespace

MimeMessage::MimeMessage(bool createAutoMimeContent, QObject *parent)
    : QObject(parent), m_messageIdLocalPart(randomIdentifier())
{
    if (createAutoMimeContent) {
        m_ownContent = std::make_unique<MimeMultiPart>(MimeMultiPart::Related);
        m_content = m_ownContent.get();
    }
}

MimeMessage::~MimeMessage() = default;

void MimeMessage::setSender(EmailAddress *sender)
{
    m_sender = sender;
}

void MimeMessage::addRecipient(EmailAddress *recipient, RecipientKind kind)
{
    if (!recipient)
        return;
    switch (kind) {
    case To:
        m_toList.append(recipient);
        break;
    case Cc:
        m_ccList.append(recipient);
        break;
    case Bcc:
        m_bccList.append(recipient);
        break;
    }
}

void MimeMessage::setSubject(const QString &subject)
{
    m_subject = subject;
}

void MimeMessage::setHeaderEncoding(MimePart::TransferEncoding encoding)
{
    m_headerEncoding = encoding;
}

void MimeMessage::addPart(MimePart *part)
{
    // Only a plain multipart takes parts; derived kinds of content drop them.
    if (!m_content)
        return;
    const MimePart &current = *m_content;
    if (typeid(current) == typeid(MimeMultiPart))
        static_cast<MimeMultiPart *>(m_content)->addPart(part);
}

void MimeMessage::setContent(MimePart *content)
{
    m_ownContent.reset();
    m_content = content;
}

EmailAddress *MimeMessage::getSender() const
{
    return m_sender;
}

const QList<EmailAddress *> &MimeMessage::recipients(RecipientKind kind) const
{
    switch (kind) {
    case Cc:
        return m_ccList;
    case Bcc:
        return m_bccList;
    case To:
        break;
    }
    return m_toList;
}

QString MimeMessage::getSubject() const
{
    return m_subject;
}

MimePart *MimeMessage::getContent() const
{
    return m_content;
}

MimePart::TransferEncoding MimeMessage::getHeaderEncoding() const
{
    return m_headerEncoding;
}

void MimeMessage::addAddressHeader(QString &mime, const QString &name,
                                   const QList<EmailAddress *> &list) const
{
    MimeHeaderField field(name);
    bool first = true;
    for (const EmailAddress *address : list) {
        if (!first)
            field.appendToLast(QStringLiteral(","));
        first = false;
        if (!address->getName().isEmpty())
            field.addPhrase(singleLine(address->getName()), m_headerEncoding);
        field.addToken(QLatin1Char('<') + address->getAddress() + QLatin1Char('>'));
    }
    mime += field.toString();
}

QString MimeMessage::getMessageId() const
{
    return QLatin1Char('<') + m_messageIdLocalPart + QLatin1Char('@')
        + messageIdDomain(m_sender ? m_sender->getAddress() : QString()) + QLatin1Char('>');
}

QString MimeMessage::toString()
{
    if (!m_sender)
        return QString();

    QString mime;
    addAddressHeader(mime, QStringLiteral("From"), {m_sender});
    addAddressHeader(mime, QStringLiteral("To"), m_toList);
    if (!m_ccList.isEmpty())
        addAddressHeader(mime, QStringLiteral("Cc"), m_ccList);

    MimeHeaderField subjectField(QStringLiteral("Subject"));
    subjectField.addText(singleLine(m_subject), m_headerEncoding);
    mime += subjectField.toString();
    mime += QStringLiteral("MIME-Version: 1.0\r\n");
    mime += QStringLiteral("Date: %1\r\n")
                .arg(QDateTime::currentDateTime().toString(Qt::RFC2822Date));
    mime += QStringLiteral("Message-ID: ") + getMessageId() + QStringLiteral("\r\n");

    if (m_content)
        mime += m_content->toString();
    return mime;
}

} // namespace NVL::Engineering::VK
