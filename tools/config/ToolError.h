#pragma once

#include <QString>

namespace NVL::Engineering::VK {

// vkconfig's exit statuses; the manual page lists them.
enum class ExitCode : int {
    Ok = 0,
    Usage = 1,        // unknown command or option, missing or surplus argument
    Refused = 2,      // a value the configuration must not hold (an address that is none, a line break)
    NotFound = 3,     // no recipient or notification of that name, no name for that type code
    Exists = 4,       // the name is taken
    Unreadable = 5,   // the configuration file (or vk.cfg) cannot be read or parsed
    Unwritable = 6,   // the configuration file (or vk.cfg) could not be written; it is as it was
    Locked = 7,       // Bellwright (or another vkconfig) is changing the file
    MailFailed = 8,   // test-mail: the mail did not go out
    WebhookFailed = 9, // webhook test: the receiver did not take the test event
};

// Ends a command: the message is the one line vkconfig prints on standard error.
struct ToolError
{
    ExitCode code;
    QString message;
};

// Ends a command on a value the configuration must not hold.
[[noreturn]] inline void refuse(const QString &what, const QString &reason)
{
    throw ToolError{ExitCode::Refused, QStringLiteral("%1: %2").arg(what, reason)};
}

} // namespace NVL::Engineering::VK
