#pragma once

#include "ConfigurationData.h"

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QTime>
#include <QTimeZone>

#include <functional>

// When periodic notifications are due, on the wall clock of a time zone. Pure functions of their
// arguments: the manager passes the system's zone, tests any zone.
namespace NVL::Engineering::VK::DueTime {

// Whether `dayOfWeek` (1-7), `day` (1-31) and `month` (1-12) all lie in their ranges. Only an edited
// file holds anything else; such a notification is never planned.
bool fieldsInRange(const NotificationData &notification);

// The moment the wall clock of `zone` first shows `time` on `date`: a time shown twice (summer time
// ends) is the first of the two; a time the change to summer time skips lies as far after the change
// as it was after the change's start (02:30 on a day that jumps from 02:00 to 03:00 is 03:30, 00:00 on
// a day that begins at 01:00 is 01:00). Invalid only for invalid arguments.
QDateTime wallClockTime(const QDate &date, const QTime &time, const QTimeZone &zone);

// The first due time at or after `now`, in `zone`. Invalid for an unknown period or a field out of range.
QDateTime nextDueTime(const NotificationData &notification, const QDateTime &now, const QTimeZone &zone);

// The due times of one notification in a stretch of time, as a planning pass arms them.
struct Plan
{
    enum Outcome {
        Complete,        // dueTimes holds every due time of the stretch
        FieldOutOfRange, // fieldsInRange is false
        NoProgress,      // a due time did not advance past the one before; dueTimes is empty
    };
    Outcome outcome = Complete;
    QList<QDateTime> dueTimes; // ascending
};

// Every due time from `from` (included) to `end` (excluded). The walk stops with NoProgress instead of
// spinning when a step does not advance, or when it finds more due times than a daily notification has.
Plan dueTimesBetween(const NotificationData &notification, const QDateTime &from, const QDateTime &end,
                     const QTimeZone &zone);

// The walk behind dueTimesBetween, for any step: `next` answers the first due time at or after its
// argument (invalid for none). Ends with NoProgress when an answer lies before its argument or the walk
// finds more than `most` due times.
Plan walkDueTimes(const std::function<QDateTime(const QDateTime &)> &next, const QDateTime &from,
                  const QDateTime &end, qsizetype most);

} // namespace NVL::Engineering::VK::DueTime
