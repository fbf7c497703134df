#include "DueTime.h"

#include <algorithm>
#include <functional>

namespace NVL::Engineering::VK::DueTime {

namespace {

constexpr qint64 DayMs = 24 * 3600 * 1000;
// Candidates tried by nextDueTime: the natural one and two later ones, for the rare day on which the
// clock goes back across midnight and the natural candidate already lies behind now.
constexpr int Candidates = 3;

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

QDateTime utc(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
}

} // namespace

bool fieldsInRange(const NotificationData &notification)
{
    return notification.dayOfWeek >= 1 && notification.dayOfWeek <= 7 && notification.day >= 1
        && notification.day <= 31 && notification.month >= 1 && notification.month <= 12;
}

QDateTime wallClockTime(const QDate &date, const QTime &time, const QTimeZone &zone)
{
    if (!date.isValid() || !time.isValid() || !zone.isValid())
        return QDateTime();
    // The reading written as if it were UTC: instant t shows it when t + offset(t) == wall. No offset
    // reaches a day, so every such instant lies within a day of `wall`.
    const qint64 wall = QDateTime(date, time, Qt::UTC).toMSecsSinceEpoch();
    const qint64 from = wall - DayMs;
    const qint64 to = wall + DayMs;

    qint64 segmentStart = from;
    qint64 offsetMs = qint64(zone.offsetFromUtc(utc(from))) * 1000;
    const QTimeZone::OffsetDataList changes =
        zone.hasTransitions() ? zone.transitions(utc(from), utc(to)) : QTimeZone::OffsetDataList();
    // Offsets are constant between changes; the first stretch that holds its own reading has the earliest.
    for (qsizetype i = 0; i <= changes.size(); ++i) {
        const qint64 segmentEnd = i < changes.size() ? changes.at(i).atUtc.toMSecsSinceEpoch() : to;
        const qint64 reading = wall - offsetMs;
        if (reading >= segmentStart && reading < segmentEnd)
            return QDateTime::fromMSecsSinceEpoch(reading, zone);
        if (i == changes.size())
            break;
        const qint64 nextOffsetMs = qint64(changes.at(i).offsetFromUtc) * 1000;
        // A skipped reading: from the change it is as far as it was after the change's start.
        if (wall >= segmentEnd + offsetMs && wall < segmentEnd + nextOffsetMs)
            return QDateTime::fromMSecsSinceEpoch(wall - offsetMs, zone);
        segmentStart = segmentEnd;
        offsetMs = nextOffsetMs;
    }
    return QDateTime(); // not reached: a reading either occurs or falls into a skipped stretch
}

QDateTime nextDueTime(const NotificationData &notification, const QDateTime &now, const QTimeZone &zone)
{
    if (!now.isValid() || !zone.isValid() || !fieldsInRange(notification))
        return QDateTime();
    const QDate today = now.toTimeZone(zone).date();
    const QTime time = timeOfDay(notification.time);

    // The n-th candidate date, the first as the period reads from today.
    std::function<QDate(int)> candidate;
    switch (notification.periodicType) {
    case PeriodicType::Daily:
        candidate = [&](int n) { return today.addDays(n); };
        break;
    case PeriodicType::Weekly: {
        const int ahead = (notification.dayOfWeek - today.dayOfWeek() + 7) % 7;
        candidate = [&, ahead](int n) { return today.addDays(ahead + 7 * n); };
        break;
    }
    case PeriodicType::Monthly: {
        const QDate firstOfMonth(today.year(), today.month(), 1);
        const QDate month = notification.day < today.day() ? firstOfMonth.addMonths(1) : firstOfMonth;
        candidate = [&, month](int n) { return dayInMonth(month.addMonths(n), notification.day); };
        break;
    }
    case PeriodicType::Annually:
        candidate = [&](int n) { return dayInMonth(QDate(today.year() + n, notification.month, 1), notification.day); };
        break;
    default:
        return QDateTime();
    }
    for (int n = 0; n < Candidates; ++n) {
        // A due time equal to now stays.
        const QDateTime due = wallClockTime(candidate(n), time, zone);
        if (due.isValid() && due >= now)
            return due;
    }
    return QDateTime();
}

Plan walkDueTimes(const std::function<QDateTime(const QDateTime &)> &next, const QDateTime &from,
                  const QDateTime &end, qsizetype most)
{
    Plan plan;
    QDateTime asked = from;
    for (QDateTime due = next(asked); due.isValid() && due < end; due = next(asked)) {
        // Each step asks from one second after the last due time, so an answer not before the
        // question advances strictly; the count bounds a walk that advances too little.
        if (due < asked || plan.dueTimes.size() >= most) {
            plan.outcome = Plan::NoProgress;
            plan.dueTimes.clear();
            return plan;
        }
        plan.dueTimes.append(due);
        asked = due.addSecs(1);
    }
    return plan;
}

Plan dueTimesBetween(const NotificationData &notification, const QDateTime &from, const QDateTime &end,
                     const QTimeZone &zone)
{
    if (!fieldsInRange(notification)) {
        Plan plan;
        plan.outcome = Plan::FieldOutOfRange;
        return plan;
    }
    if (!from.isValid() || !end.isValid() || !zone.isValid())
        return Plan();
    // No period is denser than one due time per calendar day (a day to spare).
    const qint64 days = from.toTimeZone(zone).date().daysTo(end.toTimeZone(zone).date());
    return walkDueTimes([&](const QDateTime &now) { return nextDueTime(notification, now, zone); }, from, end,
                        qsizetype(std::max<qint64>(0, days) + 2));
}

} // namespace NVL::Engineering::VK::DueTime
