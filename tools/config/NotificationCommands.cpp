#include "ArgumentList.h"
#include "ConfigTool.h"

#include <ConfigurationFile.h>
#include <FieldRules.h>
#include <ScheduleText.h>

#include <algorithm>

namespace NVL::Engineering::VK {

namespace {

template <typename Value>
Value parsed(const std::optional<Value> &value, const QString &option, const QString &expected)
{
    if (!value)
        refuse(option, expected);
    return *value;
}

std::string timeOf(const QStringList &values, const QString &option)
{
    return parsed(ScheduleText::parseTime(values.last()), option, QStringLiteral("the time is HH:MM or HH:MM:SS"));
}

// The schedule options onto the record; exactly one is needed.
void applySchedule(const ArgumentList &arguments, NotificationData &n)
{
    const QString schedule = arguments.oneOf({QStringLiteral("daily"), QStringLiteral("weekly"), QStringLiteral("monthly"),
                                              QStringLiteral("annually"), QStringLiteral("alert")});
    if (schedule.isEmpty())
        throw ToolError{ExitCode::Usage, QStringLiteral("notification add: one of --daily, --weekly, --monthly, --annually "
                                                        "or --alert is needed (see vkconfig notification --help)")};
    const QStringList values = arguments.value(schedule);
    const QString option = QStringLiteral("--") + schedule;
    if (schedule == QLatin1String("alert")) {
        n.notificationType = NotificationKind::Triggered;
        if (values.first().compare(QLatin1String("silent"), Qt::CaseInsensitive) == 0) {
            n.triggerType = SilentTrigger;
            return;
        }
        n.triggerValue = parsed(ScheduleText::parseHealth(values.first()), option,
                                QStringLiteral("it is Poor, Fair, Good or silent"));
        return;
    }
    n.notificationType = NotificationKind::Periodic;
    n.time = timeOf(values, option);
    if (schedule == QLatin1String("daily")) {
        n.periodicType = PeriodicType::Daily;
    } else if (schedule == QLatin1String("weekly")) {
        n.periodicType = PeriodicType::Weekly;
        n.dayOfWeek = parsed(ScheduleText::parseDayOfWeek(values.first()), option, QStringLiteral("the day is Mon..Sun"));
    } else if (schedule == QLatin1String("monthly")) {
        n.periodicType = PeriodicType::Monthly;
        n.day = parsed(ScheduleText::parseDayOfMonth(values.first()), option, QStringLiteral("the day of the month is 1-31"));
    } else {
        n.periodicType = PeriodicType::Annually;
        n.month = parsed(ScheduleText::parseMonth(values.at(0)), option, QStringLiteral("the month is Jan..Dec or 1-12"));
        n.day = parsed(ScheduleText::parseDayOfMonth(values.at(1)), option, QStringLiteral("the day of the month is 1-31"));
    }
}

NotificationList::const_iterator findByAlias(const NotificationList &notifications, const QString &alias)
{
    const std::string wanted = alias.toStdString();
    return std::find_if(notifications.cbegin(), notifications.cend(),
                        [&wanted](const NotificationData &n) { return n.alias == wanted; });
}

} // namespace

void ConfigTool::addNotification(const QStringList &words)
{
    const ArgumentList arguments(QStringLiteral("notification add"), words,
                                 {{QStringLiteral("daily"), 1},
                                  {QStringLiteral("weekly"), 2},
                                  {QStringLiteral("monthly"), 2},
                                  {QStringLiteral("annually"), 3},
                                  {QStringLiteral("alert"), 1},
                                  {QStringLiteral("full")},
                                  {QStringLiteral("summary")},
                                  {QStringLiteral("to"), 1, true}});
    arguments.expectPositional(1, QStringLiteral("ALIAS"));
    const QString alias = arguments.positional().at(0);
    NotificationData record; // the record's defaults for whatever the kind does not use, as Bellwright writes
    record.alias = alias.toStdString();
    if (record.alias.empty())
        refuse(QStringLiteral("ALIAS"), QStringLiteral("it is empty"));
    if (const auto problem = FieldRules::notificationProblem(record))
        refuse(QStringLiteral("ALIAS"), problem->reason);
    applySchedule(arguments, record);
    const QString report = arguments.oneOf({QStringLiteral("full"), QStringLiteral("summary")});
    if (!report.isEmpty() && record.notificationType != NotificationKind::Periodic)
        throw ToolError{ExitCode::Usage, QStringLiteral("notification add: --%1 is for periodic reports, not alerts").arg(report)};
    if (report == QLatin1String("summary"))
        record.reportType = ReportKind::SummaryReport;
    if (!arguments.has(QStringLiteral("to")))
        throw ToolError{ExitCode::Usage, QStringLiteral("notification add: --to NAME is needed; a notification without "
                                                        "recipients never mails anyone")};

    lockForChange();
    RecipientList recipients;
    NotificationList notifications;
    read([&](const ConfigurationFile &file) {
        recipients = file.recipients();
        notifications = file.notifications();
    });
    if (findByAlias(notifications, alias) != notifications.cend())
        throw ToolError{ExitCode::Exists, QStringLiteral("a notification named \"%1\" exists").arg(alias)};
    for (const QStringList &to : arguments.values(QStringLiteral("to"))) {
        const std::string name = to.first().toStdString();
        const auto count = std::count_if(recipients.cbegin(), recipients.cend(), [&name](const RecipientData &r) { return r.name == name; });
        if (count != 1)
            throw ToolError{ExitCode::NotFound, count == 0 ? QStringLiteral("--to: no recipient is named \"%1\"").arg(to.first())
                                                           : QStringLiteral("--to: several recipients are named \"%1\"").arg(to.first())};
        record.recipientList.insert(std::find_if(recipients.cbegin(), recipients.cend(),
                                                 [&name](const RecipientData &r) { return r.name == name; })->uuid);
    }
    notifications.push_back(record);
    write([&notifications](const ConfigurationFile &file) { return file.setNotifications(notifications); });
    m_out << "Notification \"" << alias << "\" added: " << ScheduleText::describe(record) << "\n"
          << "Next due: " << ScheduleText::nextDue(record, m_now, m_zone) << "\n";
}

void ConfigTool::removeNotification(const QStringList &words)
{
    const ArgumentList arguments(QStringLiteral("notification remove"), words, {});
    arguments.expectPositional(1, QStringLiteral("ALIAS"));
    const QString alias = arguments.positional().at(0);

    lockForChange();
    NotificationList notifications;
    read([&notifications](const ConfigurationFile &file) { notifications = file.notifications(); });
    const auto found = findByAlias(notifications, alias);
    if (found == notifications.cend())
        throw ToolError{ExitCode::NotFound, QStringLiteral("no notification is named \"%1\"").arg(alias)};
    // Bellwright allows equal aliases; removing whichever comes first would be a guess.
    if (std::count_if(notifications.cbegin(), notifications.cend(), [&found](const NotificationData &n) { return n.alias == found->alias; }) > 1)
        throw ToolError{ExitCode::NotFound, QStringLiteral("several notifications are named \"%1\"; rename them in Bellwright "
                                                           "first").arg(alias)};
    notifications.erase(found);
    write([&notifications](const ConfigurationFile &file) { return file.setNotifications(notifications); });
    m_out << "Notification \"" << alias << "\" removed.\n";
}

} // namespace NVL::Engineering::VK
