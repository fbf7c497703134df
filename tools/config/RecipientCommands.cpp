#include "ArgumentList.h"
#include "ConfigTool.h"

#include <ConfigurationFile.h>
#include <FieldRules.h>
#include <RecipientUse.h>

#include <QUuid>

#include <algorithm>

namespace NVL::Engineering::VK {

namespace {

RecipientList::const_iterator findByName(const RecipientList &recipients, const QString &name)
{
    const std::string wanted = name.toStdString();
    return std::find_if(recipients.cbegin(), recipients.cend(), [&wanted](const RecipientData &r) { return r.name == wanted; });
}

} // namespace

void ConfigTool::addRecipient(const QStringList &words)
{
    const ArgumentList arguments(QStringLiteral("recipient add"), words, {{QStringLiteral("text")}});
    arguments.expectPositional(2, QStringLiteral("NAME and EMAIL"));
    RecipientData record;
    // As Bellwright makes them: braces, lower case.
    record.uuid = QUuid::createUuid().toString(QUuid::WithBraces).toLower().toStdString();
    record.name = arguments.positional().at(0).toStdString();
    record.email = arguments.positional().at(1).toStdString();
    record.textMessage = arguments.has(QStringLiteral("text"));
    if (record.name.empty())
        throw ToolError{ExitCode::Refused, QStringLiteral("NAME: it is empty")};
    if (record.email.empty())
        throw ToolError{ExitCode::Refused, QStringLiteral("EMAIL: it is empty")};
    if (const auto problem = FieldRules::recipientProblem(record))
        throw ToolError{ExitCode::Refused, QStringLiteral("%1: %2")
                                               .arg(problem->field == FieldRules::Field::RecipientName ? QStringLiteral("NAME")
                                                                                                       : QStringLiteral("EMAIL"),
                                                    problem->reason)};

    lockForChange();
    RecipientList recipients;
    read([&recipients](const ConfigurationFile &file) { recipients = file.recipients(); });
    // Names are how vkconfig finds a recipient again.
    if (findByName(recipients, arguments.positional().at(0)) != recipients.cend())
        throw ToolError{ExitCode::Exists, QStringLiteral("a recipient named \"%1\" exists").arg(arguments.positional().at(0))};
    recipients.push_back(record);
    write([&recipients](const ConfigurationFile &file) { return file.setRecipients(recipients); });
    m_out << "Recipient \"" << arguments.positional().at(0) << "\" added.\n";
}

void ConfigTool::removeRecipient(const QStringList &words)
{
    const ArgumentList arguments(QStringLiteral("recipient remove"), words, {});
    arguments.expectPositional(1, QStringLiteral("NAME"));
    const QString name = arguments.positional().at(0);

    lockForChange();
    RecipientList recipients;
    NotificationList notifications;
    read([&](const ConfigurationFile &file) {
        recipients = file.recipients();
        notifications = file.notifications();
    });
    const auto found = findByName(recipients, name);
    if (found == recipients.cend())
        throw ToolError{ExitCode::NotFound, QStringLiteral("no recipient is named \"%1\"").arg(name)};
    if (std::count_if(recipients.cbegin(), recipients.cend(), [&found](const RecipientData &r) { return r.name == found->name; }) > 1)
        throw ToolError{ExitCode::NotFound, QStringLiteral("several recipients are named \"%1\"; rename them in Bellwright "
                                                           "first").arg(name)};
    const std::set<std::string> uuids{found->uuid};
    recipients.erase(found);
    const QStringList users = RecipientUse::removeFromNotifications(notifications, uuids);
    write([&](const ConfigurationFile &file) { return file.setRecipientsAndNotifications(recipients, notifications); });
    m_out << "Recipient \"" << name << "\" removed.\n";
    if (!users.isEmpty())
        m_out << "Also taken out of the notifications: " << users.join(QStringLiteral(", ")) << "\n";
}

} // namespace NVL::Engineering::VK
