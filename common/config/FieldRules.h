#pragma once

#include "NotificationData.h"
#include "RecipientData.h"
#include "SmtpSettingsData.h"

#include <QString>

#include <optional>

namespace NVL::Engineering::VK {

// What both Bellwright and vkconfig refuse to write into the configuration file. Every text of the
// file ends up in a mail header or an SMTP command, so a line break or other control character is
// refused everywhere; the addresses must be ones a mail server takes in MAIL FROM and RCPT TO.
// An empty address is "not set yet" and passes: the editor's fields start out empty.
namespace FieldRules {

enum class Field {
    SmtpServer,
    SmtpUser,
    SmtpPassword,
    SenderName,
    SenderEmail,
    RecipientName,
    RecipientEmail,
    NotificationAlias,
};

struct Problem
{
    Field field;
    QString reason; // "it has no @", in words that follow the field's name
};

// "sender email", "recipient name", ... as a sentence names it.
QString fieldName(Field field);

// Why the text is no mail address (local@domain in ASCII, without blanks or quotes), empty when it is one.
QString addressProblem(const QString &address);
// Why the text cannot stand in a one-line field, empty when it can.
QString lineProblem(const QString &text);
// The file keeps the password XOR-scrambled with an ASCII key: only ASCII stays valid UTF-8 there.
bool isStorablePassword(const QString &password);

// The first refused field of a record, in the order the dialogs show them.
std::optional<Problem> smtpSettingsProblem(const SmtpSettingsData &settings);
std::optional<Problem> recipientProblem(const RecipientData &recipient);
std::optional<Problem> notificationProblem(const NotificationData &notification);

} // namespace FieldRules

} // namespace NVL::Engineering::VK
