#include "NotificationManager.h"

#include <QDate>
#include <QTime>

#include <algorithm>

namespace NVL::Engineering::VK {

namespace {

// Local time of day to the second; an empty or unreadable text means midnight.
QTime timeOfDay(const std::string &text)
{
    const QTime parsed = QTime::fromString(QString::fromStdString(text), Qt::TextDate);
    return parsed.isValid() ? QTime(parsed.hour(), parsed.minute(), parsed.second()) : QTime(0, 0);
}

// Day `day` of the month of `anyDay`, or the month's last day when it is shorter.
QDate dayInMonth(const QDate &anyDay, int day)
{
    return QDate(anyDay.year(), anyDay.month(), std::min(day, anyDay.daysInMonth()));
}

// Built from date and time of day rather than stepped, so the time of day survives daylight-saving
// changes; an invalid date (from nonsense in the file) gives an invalid result.
QDateTime localAt(const QDate &date, const QTime &time)
{
    if (!date.isValid())
        return QDateTime();
    // Read with the offset in force when the day began. Where that gives the wanted wall-clock time it
    // is the answer, also for the first of two 02:30 when winter time returns (the C library's choice
    // between the two depends on its earlier calls, and a second one would mail twice).
    const QDateTime early =
        QDateTime(date, time, Qt::UTC).addSecs(-date.startOfDay().offsetFromUtc()).toLocalTime();
    if (early.date() == date && early.time() == time)
        return early;
    // Otherwise the offset changed earlier that day. A time that the change to summer time skips has no
    // valid local reading; the early reading puts it as far after the change as it was after its start
    // (02:30 becomes 03:30) instead of an invalid due time that would end the planning.
    const QDateTime local(date, time);
    return local.isValid() ? local : early;
}

} // namespace

QDateTime NotificationManager::nextDueTime(const NotificationData &notification, const QDateTime &now)
{
    const QDateTime localNow = now.toLocalTime();
    const QDate today = localNow.date();
    const QTime time = timeOfDay(notification.time);

    switch (notification.periodicType) {
    case PeriodicType::Daily: {
        const QDateTime due = localAt(today, time);
        return due < localNow ? localAt(today.addDays(1), time) : due;
    }
    case PeriodicType::Weekly: {
        int offset = notification.dayOfWeek - today.dayOfWeek();
        if (offset < 0)
            offset += 7;
        const QDate date = today.addDays(offset);
        const QDateTime due = localAt(date, time);
        return due < localNow ? localAt(date.addDays(7), time) : due;
    }
    case PeriodicType::Monthly: {
        const QDate firstOfMonth(today.year(), today.month(), 1);
        const QDate month = notification.day < today.day() ? firstOfMonth.addMonths(1) : firstOfMonth;
        const QDateTime due = localAt(dayInMonth(month, notification.day), time);
        if (!due.isValid())
            return QDateTime();
        return due < localNow ? localAt(dayInMonth(month.addMonths(1), notification.day), time) : due;
    }
    case PeriodicType::Annually: {
        const auto inYear = [&](int year) {
            const QDate first(year, notification.month, 1);
            return first.isValid() ? localAt(dayInMonth(first, notification.day), time) : QDateTime();
        };
        const QDateTime due = inYear(today.year());
        if (!due.isValid())
            return QDateTime();
        return due < localNow ? inYear(today.year() + 1) : due;
    }
    }
    return QDateTime();
}

} // namespace NVL::Engineering::VK
