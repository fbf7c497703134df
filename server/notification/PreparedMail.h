#pragma once

#include <ConfigurationEnums.h>
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

    SmtpSettingsData settings;
    NotificationKind kind = NotificationKind::Periodic; // report or alert, for the counts of outcomes
    QList<Address> htmlRecipients; // in the order of the notification's recipient list
    QList<Address> textRecipients;
    QString html;                  // the whole HTML part, heading included
    QString plainText;
};

} // namespace NVL::Engineering::VK
