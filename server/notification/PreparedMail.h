#pragma once

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
    QList<Address> htmlRecipients; // in the order of the notification's recipient list
    QList<Address> textRecipients;
    QString subject;
    QString textSubject;           // the subject of the text message, shorter
    QString html;                  // the whole HTML part, heading included
    QString plainText;

    // What the mail is for, as the log and the mail bookkeeping name it; never its content.
    QString notificationAlias;
    Kind kind = Kind::Report;
    QString alertAlias; // of an alert: the radio's alias (may be empty), serial and new class
    QString alertSerial;
    QString alertClass;

    qsizetype recipientCount() const { return htmlRecipients.size() + textRecipients.size(); }
};

} // namespace NVL::Engineering::VK
