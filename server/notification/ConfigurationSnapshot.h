#pragma once

#include <ConfigurationData.h>

#include <QString>

#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace NVL::Engineering::VK {

// The configuration file as read once, for planning and delivery until the file changes: reading it
// per alert cost the event loop as much as the file is large. Sizes past the limits below are refused
// rather than planned or sent: the editor makes nothing near them, and what is taken stays quick.
struct ConfigurationSnapshot
{
    static constexpr qint64 MaxFileBytes = 8 << 20;
    static constexpr int MaxNotifications = 1000;
    static constexpr int MaxRecipients = 10000;

    // Thrown for a file or list past its limit; the message names the limit.
    class TooLarge : public std::runtime_error
    {
    public:
        using std::runtime_error::runtime_error;
    };

    // What the mails need: the SMTP settings and the recipients by uuid, or why they cannot be used.
    struct Mail
    {
        SmtpSettingsData smtpSettings;
        std::unordered_map<std::string, RecipientData> recipients;
        QString error; // empty when the above can be used
        bool tooLarge = false; // the error is one of the limits
    };

    NotificationList notifications;
    QString notificationsError; // non-empty: the notifications cannot be read, for this reason
    bool tooLarge = false;      // and the reason is one of the limits
    std::shared_ptr<const Mail> mail; // never null

    // Reads the file once, writing the default file where none is, as ConfigurationFile does. The
    // notifications and the mail part fail apart: a broken SMTP section does not stop planning.
    static ConfigurationSnapshot read(const QString &path);
    // The mail part only, every failure in its error.
    static std::shared_ptr<const Mail> readMail(const QString &path);
};

} // namespace NVL::Engineering::VK
