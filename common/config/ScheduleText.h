#pragma once

#include "ConfigurationData.h"

#include <QDateTime>
#include <QString>
#include <QTimeZone>

#include <optional>

namespace NVL::Engineering::VK::ScheduleText {

// How a notification reads in vkconfig and in Bellwright's main window, in the same words, and how
// vkconfig reads a schedule from its command line.

// "daily at 07:00:00", "weekly on Mon at 07:00:00", "alert when a battery falls to Poor", ...
QString describe(const NotificationData &notification);
// The schedule, the report of a periodic notification and the recipients in one line:
// "weekly on Mon at 07:00:00, summary report, to Fleet desk, Duty phone"; "to nobody" for none.
QString summary(const NotificationData &notification, const RecipientList &recipients);
// The recipients' names in the notification's order; a uuid that names nobody shows as itself.
QStringList recipientNames(const NotificationData &notification, const RecipientList &recipients);
// The next due time in local time with its UTC offset, "on every alert" for an alert, or why never.
QString nextDue(const NotificationData &notification, const QDateTime &now, const QTimeZone &zone);
// The next due time of a periodic notification; invalid for an alert or a field out of range.
QDateTime nextDueTime(const NotificationData &notification, const QDateTime &now, const QTimeZone &zone);

// "full" or "summary"; the health classes an alert can name.
QString reportName(ReportKind kind);
QString healthName(int triggerValue);

// Each refuses with nullopt: "HH:MM" or "HH:MM:SS" to the stored "HH:mm:ss"; Mon..Sun (or the full
// name, any case) to 1..7; Jan..Dec or 1..12 to 1..12; a day of the month 1..31; Poor, Fair, Good.
std::optional<std::string> parseTime(const QString &text);
std::optional<int> parseDayOfWeek(const QString &text);
std::optional<int> parseMonth(const QString &text);
std::optional<int> parseDayOfMonth(const QString &text);
std::optional<int> parseHealth(const QString &text);

} // namespace NVL::Engineering::VK::ScheduleText
