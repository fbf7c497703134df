#pragma once

#include <SmtpSession.h>
#include <SmtpSettingsData.h>

#include <QList>
#include <QString>

namespace NVL::Engineering::VK {

// One delivery with everything read from the configuration file and composed: sending it needs no
// further access to the file, so it may run on a thread of its own.
struct PreparedMail
{
    struct Address
    {
        QString email;
        QString name;
    };
    enum class Kind { Report, Alert };

    SmtpSettingsData settings;
    int sessionLimitMs = SmtpSession::DefaultSessionLimitMs;
    QList<Address> htmlRecipients; // in the order of the notification's recipient list
    QList<Address> textRecipients;
    QString subject;
    QString textSubject;           // the subject of the text message, shorter
    QString html;                  // the whole HTML part, heading included
    QString htmlText;              // the plain-text alternative of the HTML part, saying the same
    QString plainText;             // the text message

    // What the mail is for, as the log and the mail bookkeeping name it; never its content.
    QString notificationAlias;
    Kind kind = Kind::Report;
    QString alertAlias; // of an alert: the radio's alias (may be empty), serial and new class
    QString alertSerial;
    QString alertClass;

    qsizetype recipientCount() const { return htmlRecipients.size() + textRecipients.size(); }
    // What the mail holds in memory, near enough to bound a queue of them.
    qint64 bytes() const { return 2 * (html.size() + htmlText.size() + plainText.size()) + 128 * recipientCount(); }
    // After a session that sent some of its messages (`sent` in the order the session sends them,
    // HTML first): only the rest is left, so another attempt mails nobody twice.
    void keepUnsent(const QList<bool> &sent)
    {
        qsizetype index = 0;
        if (!htmlRecipients.isEmpty() && sent.value(index++))
            htmlRecipients.clear();
        if (!textRecipients.isEmpty() && sent.value(index))
            textRecipients.clear();
    }
};

} // namespace NVL::Engineering::VK
