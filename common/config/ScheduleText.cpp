#include "ScheduleText.h"

#include "DueTime.h"

#include <QLocale>
#include <QRegularExpression>
#include <QTime>

#include <algorithm>

namespace NVL::Engineering::VK::ScheduleText {

namespace {

// As Bellwright's day list shows them.
const char *const dayNames[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char *const healthNames[] = {"Poor", "Fair", "Good"};

std::optional<int> numberIn(const QString &text, int lowest, int highest)
{
    bool ok = false;
    const int n = text.toInt(&ok);
    return ok && n >= lowest && n <= highest ? std::optional<int>(n) : std::nullopt;
}

QString offsetText(const QDateTime &time)
{
    const int offset = time.offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return QStringLiteral("%1%2:%3")
        .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(minutes / 60, 2, 10, QLatin1Char('0'))
        .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString monthName(int month)
{
    return QLocale::c().monthName(month, QLocale::ShortFormat);
}

} // namespace

QString reportName(ReportKind kind)
{
    return kind == ReportKind::SummaryReport ? QStringLiteral("summary") : QStringLiteral("full");
}

QString healthName(int triggerValue)
{
    return triggerValue >= 0 && triggerValue < int(std::size(healthNames)) ? QLatin1String(healthNames[triggerValue])
                                                                         : QStringLiteral("class %1").arg(triggerValue);
}

QString describe(const NotificationData &n)
{
    if (n.notificationType == NotificationKind::Triggered && n.triggerType == SilentTrigger)
        return QStringLiteral("alert \"battery silent\" when a battery stops reporting");
    if (n.notificationType == NotificationKind::Triggered)
        return QStringLiteral("alert when a battery falls to %1").arg(healthName(n.triggerValue));
    const QString at = QStringLiteral(" at ") + QString::fromStdString(n.time);
    switch (n.periodicType) {
    case PeriodicType::Daily:
        return QStringLiteral("daily") + at;
    case PeriodicType::Weekly:
        return QStringLiteral("weekly on %1").arg(n.dayOfWeek >= 1 && n.dayOfWeek <= 7 ? QLatin1String(dayNames[n.dayOfWeek - 1])
                                                                                         : QString::number(n.dayOfWeek))
            + at;
    case PeriodicType::Monthly:
        return QStringLiteral("monthly on day %1").arg(n.day) + at;
    case PeriodicType::Annually:
        return QStringLiteral("annually on %1 %2").arg(n.month >= 1 && n.month <= 12 ? monthName(n.month) : QString::number(n.month)).arg(n.day) + at;
    }
    return QStringLiteral("period %1").arg(int(n.periodicType)) + at;
}

QStringList recipientNames(const NotificationData &notification, const RecipientList &recipients)
{
    QStringList names;
    for (const std::string &uuid : notification.recipientList) {
        const auto found = std::find_if(recipients.cbegin(), recipients.cend(),
                                        [&uuid](const RecipientData &r) { return r.uuid == uuid; });
        names << QString::fromStdString(found == recipients.cend() ? uuid : found->name);
    }
    return names;
}

QString summary(const NotificationData &notification, const RecipientList &recipients)
{
    QString line = describe(notification);
    if (notification.notificationType == NotificationKind::Periodic)
        line += QStringLiteral(", ") + reportName(notification.reportType) + QStringLiteral(" report");
    const QStringList names = recipientNames(notification, recipients);
    return line + QStringLiteral(", to ") + (names.isEmpty() ? QStringLiteral("nobody") : names.join(QStringLiteral(", ")));
}

QDateTime nextDueTime(const NotificationData &notification, const QDateTime &now, const QTimeZone &zone)
{
    if (notification.notificationType != NotificationKind::Periodic)
        return QDateTime();
    return DueTime::nextDueTime(notification, now, zone);
}

QString nextDue(const NotificationData &notification, const QDateTime &now, const QTimeZone &zone)
{
    if (notification.notificationType != NotificationKind::Periodic)
        return QStringLiteral("on every alert");
    const QDateTime due = nextDueTime(notification, now, zone);
    if (!due.isValid())
        return QStringLiteral("never (a day, month or period out of range)");
    return due.toTimeZone(zone).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) + offsetText(due.toTimeZone(zone));
}

std::optional<std::string> parseTime(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,2}):(\\d{2})(?::(\\d{2}))?$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const QTime time(match.captured(1).toInt(), match.captured(2).toInt(),
                     match.captured(3).isEmpty() ? 0 : match.captured(3).toInt());
    if (!time.isValid())
        return std::nullopt;
    return time.toString(QStringLiteral("HH:mm:ss")).toStdString();
}

std::optional<int> parseDayOfWeek(const QString &text)
{
    for (int day = 1; day <= 7; ++day) {
        const QString name = QLocale::c().dayName(day, QLocale::LongFormat);
        if (text.compare(QLatin1String(dayNames[day - 1]), Qt::CaseInsensitive) == 0
            || text.compare(name, Qt::CaseInsensitive) == 0)
            return day;
    }
    return std::nullopt;
}

std::optional<int> parseMonth(const QString &text)
{
    for (int month = 1; month <= 12; ++month)
        if (text.compare(monthName(month), Qt::CaseInsensitive) == 0
            || text.compare(QLocale::c().monthName(month, QLocale::LongFormat), Qt::CaseInsensitive) == 0)
            return month;
    return numberIn(text, 1, 12);
}

std::optional<int> parseDayOfMonth(const QString &text)
{
    return numberIn(text, 1, 31);
}

std::optional<int> parseHealth(const QString &text)
{
    for (int value = 0; value < int(std::size(healthNames)); ++value)
        if (text.compare(QLatin1String(healthNames[value]), Qt::CaseInsensitive) == 0)
            return value;
    return std::nullopt;
}

} // namespace NVL::Engineering::VK::ScheduleText
