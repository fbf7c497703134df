// Due times on the wall clock of every zone the system knows, the walk of a planning pass, and the
// manager's planning on days that begin after midnight or with nonsense in the file.
#include "DueTime.h"
#include "NotificationPlanner.h"
#include "NotificationTestSupport.h"
#include "RecordingEventSink.h"

#include <ConfigurationFile.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <ctime>
#include <memory>

using namespace NVL::Engineering::VK;
using NotificationTest::periodic;

Q_DECLARE_METATYPE(NotificationData)

namespace {

NotificationData make(PeriodicType period, const std::string &time, int dayOfWeek = 1, int day = 1, int month = 1,
                      const std::string &alias = "plan")
{
    NotificationData n = periodic(period, time);
    n.dayOfWeek = dayOfWeek;
    n.day = day;
    n.month = month;
    n.alias = alias;
    return n;
}

QDateTime utc(int y, int mo, int d, int h, int mi, int s = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC);
}

QDateTime inZone(const char *zone, int y, int mo, int d, int h, int mi, int s = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), QTimeZone(zone));
}

// Empty when `due` is the right moment for the wall-clock `time` in `zone`: the first instant that shows
// it, or, where a change skips it, as far after the change as it was after the change's start.
QString wrongReading(const QDateTime &due, const QTime &time, const QTimeZone &zone)
{
    const QDateTime shown = due.toTimeZone(zone);
    const int offset = zone.offsetFromUtc(due);
    if (shown.time() == time) {
        // Where the clock went back within the day before, an earlier instant may show the same.
        const int earlier = zone.offsetFromUtc(due.addSecs(-86400));
        const QDateTime other = due.addSecs(offset - earlier);
        if (earlier != offset && other < due && zone.offsetFromUtc(other) == earlier)
            return QStringLiteral("%1 is the second reading of %2").arg(due.toString(Qt::ISODate), time.toString());
        return QString();
    }
    const QTimeZone::OffsetData change = zone.previousTransition(due.addMSecs(1));
    if (!change.atUtc.isValid())
        return QStringLiteral("%1 shows %2, not %3").arg(due.toString(Qt::ISODate), shown.time().toString(), time.toString());
    const int before = zone.offsetFromUtc(change.atUtc.addMSecs(-1));
    const QDateTime wanted = due.addSecs(before);
    const bool skipped = change.offsetFromUtc > before && wanted.toUTC().time() == time
        && change.atUtc.secsTo(due) < change.offsetFromUtc - before;
    return skipped ? QString()
                   : QStringLiteral("%1 shows %2, not %3, and no change skipped it")
                         .arg(due.toString(Qt::ISODate), shown.time().toString(), time.toString());
}

// Empty when nextDueTime and a pass of seven days from `now` behave.
QString misplanned(const NotificationData &n, const QDateTime &now, const QTimeZone &zone)
{
    const QTime time = QTime::fromString(QString::fromStdString(n.time), Qt::TextDate);
    const QDateTime due = DueTime::nextDueTime(n, now, zone);
    if (!due.isValid())
        return QStringLiteral("no due time");
    if (due < now)
        return QStringLiteral("due %1 before now").arg(due.toString(Qt::ISODate));
    QString error = wrongReading(due, time, zone);
    if (!error.isEmpty())
        return error;

    const QDateTime end = now.addDays(NotificationPlanner::WindowDays);
    const DueTime::Plan plan = DueTime::dueTimesBetween(n, now, end, zone);
    if (plan.outcome != DueTime::Plan::Complete)
        return QStringLiteral("the pass ended with outcome %1").arg(int(plan.outcome));
    if (due < end && plan.dueTimes.value(0) != due)
        return QStringLiteral("the pass does not begin with the next due time");
    for (qsizetype i = 0; i < plan.dueTimes.size(); ++i) {
        const QDateTime d = plan.dueTimes.at(i);
        if (d < now || d >= end || (i > 0 && d <= plan.dueTimes.at(i - 1)))
            return QStringLiteral("due time %1 out of order").arg(d.toString(Qt::ISODate));
        // A skipped time moves to the day after; otherwise one due time per day.
        const QDateTime shown = d.toTimeZone(zone);
        const QDateTime shownBefore = i > 0 ? plan.dueTimes.at(i - 1).toTimeZone(zone) : QDateTime();
        if (i > 0 && shown.date() == shownBefore.date() && shown.time() == time && shownBefore.time() == time)
            return QStringLiteral("two due times on %1").arg(d.toTimeZone(zone).date().toString(Qt::ISODate));
        error = wrongReading(d, time, zone);
        if (!error.isEmpty())
            return error;
    }
    if (n.periodicType == PeriodicType::Daily && plan.dueTimes.size() < 6)
        return QStringLiteral("only %1 daily due times in a week").arg(plan.dueTimes.size());
    return QString();
}

// The manager's planning, on a zone set for this process.
class LocalZone
{
public:
    explicit LocalZone(const QByteArray &zone)
        : m_previous(qgetenv("TZ"))
    {
        qputenv("TZ", zone);
        tzset();
    }
    ~LocalZone()
    {
        qputenv("TZ", m_previous);
        tzset();
    }

private:
    QByteArray m_previous;
};

bool writeNotifications(const NotificationList &list)
{
    QFile::remove(ConfigurationFile::filePath());
    return ConfigurationFile().setNotifications(list);
}

QList<QDateTime> armedDues(const NotificationPlanner &manager)
{
    QList<QDateTime> result;
    for (const auto &occurrence : manager.armedOccurrences())
        result.append(occurrence.due);
    return result;
}

} // namespace

class TestDueTime : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dataFolder.isValid());
        qputenv("NORVALE_COMMON_APPDATA", m_dataFolder.path().toUtf8());
    }

    void wallClockTime_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QTime>("time");
        QTest::addColumn<QDateTime>("expected");

        // Days that begin at 01:00: midnight is the start of the day.
        QTest::newRow("Cairo, midnight skipped") << QByteArray("Africa/Cairo") << QDate(2025, 4, 25) << QTime(0, 0)
                                                 << utc(2025, 4, 24, 22, 0);
        QTest::newRow("Cairo, 00:30 skipped") << QByteArray("Africa/Cairo") << QDate(2025, 4, 25) << QTime(0, 30)
                                              << utc(2025, 4, 24, 22, 30);
        QTest::newRow("Cairo, 01:00 the day's first") << QByteArray("Africa/Cairo") << QDate(2025, 4, 25)
                                                      << QTime(1, 0) << utc(2025, 4, 24, 22, 0);
        QTest::newRow("Cairo, the day before") << QByteArray("Africa/Cairo") << QDate(2025, 4, 24)
                                               << QTime(23, 59, 59) << utc(2025, 4, 24, 21, 59, 59);
        QTest::newRow("Santiago, midnight skipped") << QByteArray("America/Santiago") << QDate(2026, 9, 6)
                                                    << QTime(0, 0) << utc(2026, 9, 6, 4, 0);
        QTest::newRow("Havana, midnight skipped") << QByteArray("America/Havana") << QDate(2025, 3, 9) << QTime(0, 0)
                                                  << utc(2025, 3, 9, 5, 0);
        QTest::newRow("Beirut, midnight skipped") << QByteArray("Asia/Beirut") << QDate(2025, 3, 30) << QTime(0, 0)
                                                  << utc(2025, 3, 29, 22, 0);
        QTest::newRow("Berlin, 02:30 skipped") << QByteArray("Europe/Berlin") << QDate(2025, 3, 30) << QTime(2, 30)
                                               << utc(2025, 3, 30, 1, 30);
        // Times shown twice: the first of the two.
        QTest::newRow("Berlin, 02:30 twice") << QByteArray("Europe/Berlin") << QDate(2025, 10, 26) << QTime(2, 30)
                                             << utc(2025, 10, 26, 0, 30);
        QTest::newRow("Beirut, 23:30 twice") << QByteArray("Asia/Beirut") << QDate(2025, 10, 25) << QTime(23, 30)
                                             << utc(2025, 10, 25, 20, 30);
        QTest::newRow("Havana, 00:30 twice") << QByteArray("America/Havana") << QDate(2025, 11, 2) << QTime(0, 30)
                                             << utc(2025, 11, 2, 4, 30);
        QTest::newRow("Santiago, 23:30 twice") << QByteArray("America/Santiago") << QDate(2026, 4, 4)
                                               << QTime(23, 30) << utc(2026, 4, 5, 2, 30);
        // Half-hour change (Lord Howe) and a whole day skipped (Apia, 30 December 2011).
        QTest::newRow("Lord Howe, 02:15 skipped") << QByteArray("Australia/Lord_Howe") << QDate(2025, 10, 5)
                                                  << QTime(2, 15) << utc(2025, 10, 4, 15, 45);
        QTest::newRow("Apia, a skipped day") << QByteArray("Pacific/Apia") << QDate(2011, 12, 30) << QTime(12, 0)
                                             << utc(2011, 12, 30, 22, 0);
        QTest::newRow("no zone changes") << QByteArray("Asia/Kolkata") << QDate(2025, 4, 25) << QTime(0, 0)
                                         << utc(2025, 4, 24, 18, 30);
    }

    void wallClockTime()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QDate, date);
        QFETCH(QTime, time);
        QFETCH(QDateTime, expected);
        const QTimeZone tz(zone);
        QVERIFY(tz.isValid());
        const QDateTime result = DueTime::wallClockTime(date, time, tz);
        QCOMPARE(result.toUTC(), expected);
        QCOMPARE(result.timeZone(), tz);
    }

    void invalidArgumentsGiveNoTime()
    {
        const QTimeZone berlin("Europe/Berlin");
        QVERIFY(!DueTime::wallClockTime(QDate(), QTime(1, 0), berlin).isValid());
        QVERIFY(!DueTime::wallClockTime(QDate(2025, 1, 1), QTime(), berlin).isValid());
        QVERIFY(!DueTime::wallClockTime(QDate(2025, 1, 1), QTime(1, 0), QTimeZone()).isValid());
        QVERIFY(!DueTime::nextDueTime(make(PeriodicType::Daily, ""), QDateTime(), berlin).isValid());
        QVERIFY(!DueTime::nextDueTime(make(PeriodicType::Daily, ""), utc(2025, 1, 1, 0, 0), QTimeZone()).isValid());
    }

    void dueTimesOnDaysThatBeginAfterMidnight_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<NotificationData>("notification");
        QTest::addColumn<QDateTime>("expected");

        const QDateTime cairo = inZone("Africa/Cairo", 2025, 4, 20, 10, 0);
        const QDateTime santiago = inZone("America/Santiago", 2026, 9, 2, 10, 0);
        QTest::newRow("Cairo daily, the evening before") << QByteArray("Africa/Cairo")
                                                         << inZone("Africa/Cairo", 2025, 4, 24, 10, 0)
                                                         << make(PeriodicType::Daily, "") << utc(2025, 4, 24, 22, 0);
        QTest::newRow("Cairo daily, a second before") << QByteArray("Africa/Cairo") << utc(2025, 4, 24, 21, 59, 59)
                                                      << make(PeriodicType::Daily, "00:00:00")
                                                      << utc(2025, 4, 24, 22, 0);
        QTest::newRow("Cairo daily, at the change") << QByteArray("Africa/Cairo") << utc(2025, 4, 24, 22, 0)
                                                    << make(PeriodicType::Daily, "") << utc(2025, 4, 24, 22, 0);
        QTest::newRow("Cairo daily, a second after") << QByteArray("Africa/Cairo") << utc(2025, 4, 24, 22, 0, 1)
                                                     << make(PeriodicType::Daily, "") << utc(2025, 4, 25, 21, 0);
        QTest::newRow("Cairo weekly Friday") << QByteArray("Africa/Cairo") << cairo
                                             << make(PeriodicType::Weekly, "00:30:00", 5) << utc(2025, 4, 24, 22, 30);
        QTest::newRow("Cairo monthly 25th") << QByteArray("Africa/Cairo") << cairo
                                            << make(PeriodicType::Monthly, "", 1, 25) << utc(2025, 4, 24, 22, 0);
        QTest::newRow("Cairo annually 25 April") << QByteArray("Africa/Cairo") << cairo
                                                 << make(PeriodicType::Annually, "", 1, 25, 4)
                                                 << utc(2025, 4, 24, 22, 0);
        QTest::newRow("Santiago daily, the evening before") << QByteArray("America/Santiago")
                                                            << inZone("America/Santiago", 2026, 9, 5, 23, 0)
                                                            << make(PeriodicType::Daily, "") << utc(2026, 9, 6, 4, 0);
        QTest::newRow("Santiago weekly Sunday") << QByteArray("America/Santiago") << santiago
                                                << make(PeriodicType::Weekly, "", 7) << utc(2026, 9, 6, 4, 0);
        QTest::newRow("Santiago monthly 6th") << QByteArray("America/Santiago") << santiago
                                              << make(PeriodicType::Monthly, "00:59:59", 1, 6)
                                              << utc(2026, 9, 6, 4, 59, 59);
        QTest::newRow("Santiago annually 6 September") << QByteArray("America/Santiago") << santiago
                                                       << make(PeriodicType::Annually, "01:00:00", 1, 6, 9)
                                                       << utc(2026, 9, 6, 4, 0);
    }

    void dueTimesOnDaysThatBeginAfterMidnight()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QDateTime, now);
        QFETCH(NotificationData, notification);
        QFETCH(QDateTime, expected);
        const QTimeZone tz(zone);
        QCOMPARE(DueTime::nextDueTime(notification, now, tz).toUTC(), expected);
        const DueTime::Plan plan = DueTime::dueTimesBetween(notification, now, now.addDays(7), tz);
        QCOMPARE(plan.outcome, DueTime::Plan::Complete);
        QVERIFY(plan.dueTimes.contains(expected));
    }

    // Every zone, every period, times around midnight and the night, "now" at every offset change of two years.
    void everyZoneEveryChangeOfTwoYears()
    {
        const QDateTime begin = utc(2025, 1, 1, 0, 0);
        const QDateTime finish = utc(2027, 1, 1, 0, 0);
        const QList<std::string> times = {"00:00:00", "00:30:00", "01:00:00", "02:30:00", "23:59:59"};
        const QList<PeriodicType> periods = {PeriodicType::Daily, PeriodicType::Weekly, PeriodicType::Monthly,
                                             PeriodicType::Annually};
        QElapsedTimer clock;
        clock.start();
        int zones = 0;
        int changes = 0;
        int checks = 0;
        const QList<QByteArray> ids = QTimeZone::availableTimeZoneIds();
        QVERIFY(ids.size() > 300);
        for (const QByteArray &id : ids) {
            const QTimeZone zone(id);
            QVERIFY2(zone.isValid(), id.constData());
            ++zones;
            // Zones that never change are planned from two plain days.
            QList<std::pair<QDateTime, QDate>> nows = {{begin, begin.toTimeZone(zone).date()},
                                                       {begin.addDays(181), begin.addDays(181).toTimeZone(zone).date()}};
            for (const QTimeZone::OffsetData &change : zone.transitions(begin, finish)) {
                ++changes;
                // The day of the change is the one the notification asks for.
                const QDate day = change.atUtc.toTimeZone(zone).date();
                for (const QDateTime &now : {change.atUtc.addDays(-3), change.atUtc.addSecs(-1), change.atUtc,
                                             change.atUtc.addSecs(1)})
                    nows.append({now, day});
            }
            for (const auto &[now, day] : std::as_const(nows)) {
                for (PeriodicType period : periods) {
                    for (const std::string &time : times) {
                        const NotificationData n = make(period, time, day.dayOfWeek(), day.day(), day.month());
                        const QString error = misplanned(n, now, zone);
                        QVERIFY2(error.isEmpty(), qPrintable(QStringLiteral("%1, period %2, %3, now %4: %5")
                                                                 .arg(QString::fromLatin1(id))
                                                                 .arg(int(period))
                                                                 .arg(QString::fromStdString(time),
                                                                      now.toString(Qt::ISODateWithMs), error)));
                        ++checks;
                    }
                }
            }
        }
        qInfo("%d zones, %d offset changes, %d checks in %lld ms", zones, changes, checks, clock.elapsed());
        QVERIFY(changes > 200); // the two years really hold changes
    }

    void fieldsOutOfRangeAreNeverPlanned_data()
    {
        QTest::addColumn<NotificationData>("notification");
        const QList<PeriodicType> periods = {PeriodicType::Daily, PeriodicType::Weekly, PeriodicType::Monthly,
                                             PeriodicType::Annually};
        for (PeriodicType period : periods) {
            const QByteArray p = QByteArray::number(int(period));
            for (int value : {-8, -1, 0, 8, INT_MIN, INT_MAX})
                QTest::newRow("period " + p + ", dayOfWeek " + QByteArray::number(value))
                    << make(period, "09:00:00", value, 1, 1);
            for (int value : {-31, 0, 32, INT_MIN, INT_MAX})
                QTest::newRow("period " + p + ", day " + QByteArray::number(value)) << make(period, "09:00:00", 1, value, 1);
            for (int value : {-12, 0, 13, INT_MIN, INT_MAX})
                QTest::newRow("period " + p + ", month " + QByteArray::number(value))
                    << make(period, "09:00:00", 1, 1, value);
        }
    }

    void fieldsOutOfRangeAreNeverPlanned()
    {
        QFETCH(NotificationData, notification);
        const QTimeZone zone("Europe/Berlin");
        const QDateTime now = inZone("Europe/Berlin", 2025, 1, 15, 10, 0);
        QVERIFY(!DueTime::fieldsInRange(notification));
        QVERIFY(!DueTime::nextDueTime(notification, now, zone).isValid());
        const DueTime::Plan plan = DueTime::dueTimesBetween(notification, now, now.addDays(7), zone);
        QCOMPARE(plan.outcome, DueTime::Plan::FieldOutOfRange);
        QVERIFY(plan.dueTimes.isEmpty());
    }

    void extremeValuesOfTheOtherFields()
    {
        const QTimeZone zone("Europe/Berlin");
        const QDateTime now = inZone("Europe/Berlin", 2025, 1, 15, 10, 0);
        // The edges of the ranges are planned.
        QVERIFY(DueTime::fieldsInRange(make(PeriodicType::Annually, "", 7, 31, 12)));
        QCOMPARE(DueTime::nextDueTime(make(PeriodicType::Weekly, "", 7), now, zone), inZone("Europe/Berlin", 2025, 1, 19, 0, 0));
        QCOMPARE(DueTime::nextDueTime(make(PeriodicType::Annually, "", 1, 31, 12), now, zone),
                 inZone("Europe/Berlin", 2025, 12, 31, 0, 0));
        for (int period : {INT_MIN, -1, 4, INT_MAX}) {
            const NotificationData n = make(PeriodicType(period), "09:00:00");
            QVERIFY(!DueTime::nextDueTime(n, now, zone).isValid());
            const DueTime::Plan plan = DueTime::dueTimesBetween(n, now, now.addDays(7), zone);
            QCOMPARE(plan.outcome, DueTime::Plan::Complete);
            QVERIFY(plan.dueTimes.isEmpty());
        }
        // Fields that planning does not read change nothing.
        NotificationData odd = make(PeriodicType::Daily, "09:00:00");
        odd.reportType = ReportKind(INT_MIN);
        odd.triggerType = INT_MAX;
        odd.triggerValue = INT_MIN;
        odd.notificationType = NotificationKind(INT_MAX);
        QCOMPARE(DueTime::dueTimesBetween(odd, now, now.addDays(7), zone).dueTimes.size(), 7);
        // Times that do not read as a time of day are midnight.
        for (const char *text : {"24:00:00", "-1:00:00", "99:99:99", "2147483648:00:00", "9:00:00", "nonsense"})
            QCOMPARE(DueTime::nextDueTime(make(PeriodicType::Daily, text), now, zone),
                     inZone("Europe/Berlin", 2025, 1, 16, 0, 0));
    }

    void aWalkThatDoesNotAdvanceEnds_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("count");
        QTest::newRow("stuck") << 0 << int(DueTime::Plan::NoProgress) << 0;
        QTest::newRow("backwards") << 1 << int(DueTime::Plan::NoProgress) << 0;
        QTest::newRow("creeping a second a step") << 2 << int(DueTime::Plan::NoProgress) << 0;
        QTest::newRow("a day a step") << 3 << int(DueTime::Plan::Complete) << 7;
        QTest::newRow("nothing") << 4 << int(DueTime::Plan::Complete) << 0;
    }

    void aWalkThatDoesNotAdvanceEnds()
    {
        QFETCH(int, kind);
        QFETCH(int, outcome);
        QFETCH(int, count);
        const QDateTime from = utc(2025, 1, 15, 10, 0);
        int calls = 0;
        const auto next = [&](const QDateTime &asked) {
            ++calls;
            switch (kind) {
            case 0: return from;
            case 1: return asked.addDays(-1);
            case 2: return asked;
            case 3: return from.addDays(calls - 1);
            default: return QDateTime();
            }
        };
        const DueTime::Plan plan = DueTime::walkDueTimes(next, from, from.addDays(7), 9);
        QCOMPARE(int(plan.outcome), outcome);
        QCOMPARE(plan.dueTimes.size(), count);
        QVERIFY(calls <= 11);
    }

    // The manager on the process's clock: a day that begins at 01:00 is planned, the pass ends.
    void managerPlansDaysThatBeginAfterMidnight_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QDateTime>("clock");
        QTest::addColumn<QDate>("changeDay");
        QTest::newRow("Cairo") << QByteArray("Africa/Cairo") << QDateTime(QDate(2025, 4, 20), QTime(10, 0))
                               << QDate(2025, 4, 25);
        QTest::newRow("Santiago") << QByteArray("America/Santiago") << QDateTime(QDate(2026, 9, 2), QTime(10, 0))
                                  << QDate(2026, 9, 6);
    }

    void managerPlansDaysThatBeginAfterMidnight()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QDateTime, clock);
        QFETCH(QDate, changeDay);
        const LocalZone local(zone);
        const QDateTime start(clock.date(), clock.time()); // local time of the zone now in force
        QVERIFY(writeNotifications({make(PeriodicType::Daily, "", 1, 1, 1, "midnight"),
                                    make(PeriodicType::Weekly, "00:30:00", changeDay.dayOfWeek(), 1, 1, "weekly"),
                                    make(PeriodicType::Monthly, "", 1, changeDay.day(), 1, "monthly")}));
        RecordingEventSink sink;
        NotificationPlanner manager(ConfigurationFile::filePath(), [start] { return start; });

        QList<QDateTime> daily;
        QList<QDateTime> others;
        for (const auto &occurrence : manager.armedOccurrences())
            (occurrence.notification.alias == "midnight" ? daily : others).append(occurrence.due);
        QList<QDateTime> expected;
        for (QDate day = start.date().addDays(1); day < start.date().addDays(8); day = day.addDays(1))
            expected.append(QDateTime(day, QTime(day == changeDay ? 1 : 0, 0)));
        QCOMPARE(daily, expected);
        QCOMPARE(daily.at(changeDay.toJulianDay() - start.date().toJulianDay() - 1).time(), QTime(1, 0));
        QCOMPARE(others, (QList<QDateTime>{QDateTime(changeDay, QTime(1, 0)), QDateTime(changeDay, QTime(1, 30))}));
        QCOMPARE(sink.count(LogType::Warning, QString()), 0);

        // A pass from the hour of the change on plans on.
        manager.setupTimers();
        QVERIFY(!manager.armedOccurrences().isEmpty());
    }

    void managerLeavesNonsenseOutOncePerPass()
    {
        const LocalZone local("Europe/Berlin");
        const QDateTime start(QDate(2025, 1, 15), QTime(10, 0));
        NotificationData badType = make(PeriodicType(INT_MIN), "09:00:00", 1, 1, 1, "no such period");
        NotificationData badKind = make(PeriodicType::Daily, "09:00:00", 1, 1, 1, "no such kind");
        badKind.notificationType = NotificationKind(INT_MIN);
        NotificationData oddAlert = NotificationTest::triggered(INT_MAX, {}, "odd alert");
        oddAlert.triggerType = INT_MIN;
        oddAlert.dayOfWeek = INT_MIN; // not read for alerts
        NotificationData oddReport = make(PeriodicType::Daily, "09:00:00", 1, 1, 1, "odd report");
        oddReport.reportType = ReportKind(INT_MAX);
        const NotificationList list = {make(PeriodicType::Weekly, "09:00:00", -8, 1, 1, "minus eight"),
                                       make(PeriodicType::Weekly, "09:00:00", INT_MIN, 1, 1, "int min"),
                                       make(PeriodicType::Monthly, "09:00:00", 1, INT_MAX, 1, "day max"),
                                       make(PeriodicType::Monthly, "09:00:00", 1, 0, 1, "day zero"),
                                       make(PeriodicType::Annually, "09:00:00", 1, 32, 13, "month 13"),
                                       make(PeriodicType::Daily, "09:00:00", 0, 1, 1, "daily, weekday 0"),
                                       badType,
                                       badKind,
                                       oddAlert,
                                       oddReport};
        QVERIFY(writeNotifications(list));
        RecordingEventSink sink;
        NotificationPlanner manager(ConfigurationFile::filePath(), [start] { return start; });

        const QStringList leftOut = {QStringLiteral("minus eight"), QStringLiteral("int min"), QStringLiteral("day max"),
                                     QStringLiteral("day zero"), QStringLiteral("month 13"),
                                     QStringLiteral("daily, weekday 0")};
        const auto checkPass = [&](int pass) {
            QCOMPARE(sink.count(LogType::Warning, QString()), (leftOut.size() + 1) * pass);
            for (const QString &alias : leftOut)
                QCOMPARE(sink.count(LogType::Warning, QStringLiteral("Notification \"%1\" is left out of this planning "
                                                                     "pass: its day of the week, day or month is out of range.")
                                                          .arg(alias)),
                         pass);
            QCOMPARE(sink.count(LogType::Warning, QStringLiteral("Notification \"no such period\" is left out of this "
                                                                 "planning pass: its period is unknown.")),
                     pass);
            for (const auto &occurrence : manager.armedOccurrences())
                QCOMPARE(occurrence.notification.alias, std::string("odd report"));
            // The second pass, run at the same moment, plans up to the end of the second window.
            QCOMPARE(armedDues(manager).size(), 7 * pass);
            QCOMPARE(manager.triggeredNotifications().size(), 1);
        };
        checkPass(1);
        manager.setupTimers();
        checkPass(2);
    }

private:
    QTemporaryDir m_dataFolder;
};

QTEST_GUILESS_MAIN(TestDueTime)
#include "tst_duetime.moc"
