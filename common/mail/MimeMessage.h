#pragma once

#include "EmailAddress.h"
#include "MimePart.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

namespace NVL::Engineering::VK {

// A complete mail: the address headers, subject and date, and one content part.
// Addresses and added parts belong to the caller and must outlive the message's use.
class MimeMessage : public QObject
{
    Q_OBJECT

public:
    enum RecipientKind : int {
        To = 0,
        Cc = 1,
        Bcc = 2
    };
    Q_ENUM(RecipientKind)

    // With createAutoMimeContent the message makes and owns a multipart/related content.
    explicit MimeMessage(bool createAutoMimeContent = true, QObject *parent = nullptr);
    ~MimeMessage() override;

    void setSender(EmailAddress *sender);
    void addRecipient(EmailAddress *recipient, RecipientKind kind = To);
    void setSubject(const QString &subject);
    void setHeaderEncoding(MimePart::TransferEncoding encoding);
    void addPart(MimePart *part);
    // Replaces the content, e.g. by a multipart/alternative of nested parts; the caller keeps it.
    void setContent(MimePart *content);

    EmailAddress *getSender() const;
    const QList<EmailAddress *> &recipients(RecipientKind kind = To) const;
    QString getSubject() const;
    MimePart *getContent() const;
    MimePart::TransferEncoding getHeaderEncoding() const;

    // "<random@domain>": the domain of the sender's address, else the host name. The random
    // part is made once per message, so every rendering of one message carries the same.
    QString getMessageId() const;

    // The message text without the SMTP end-of-data mark; empty when no sender is set.
    virtual QString toString();

private:
    void addAddressHeader(QString &mime, const QString &name, const QList<EmailAddress *> &list) const;

    EmailAddress *m_sender = nullptr;
    QList<EmailAddress *> m_toList;
    QList<EmailAddress *> m_ccList;
    QList<EmailAddress *> m_bccList;
    QString m_subject;
    std::unique_ptr<MimePart> m_ownContent; // the automatic content, until setContent replaces it
    MimePart *m_content = nullptr;
    MimePart::TransferEncoding m_headerEncoding = MimePart::Encoding8Bit;
    QString m_messageIdLocalPart;
};

} // namespace NVL::Engineering::VK
