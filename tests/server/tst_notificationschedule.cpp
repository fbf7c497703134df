#include "NotificationDelivery.h"
#include "NotificationPlanner.h"
#include "NotificationTestSupport.h"
#include "RecordingEventSink.h"

#include <ConfigurationFile.h>

#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>
#include <memory>

using namespace NVL::Engineering::VK;
using NotificationTest::periodic;

Q_DECLARE_METATYPE(NotificationData)

namespace {

QDateTime at(int y, int mo, int d, int h, int mi, int s = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s));
}

// Wednesday, the reference day of the examples.
const QDateTime t0 = at(2025, 1, 15, 10, 0);

NotificationData weekly(int dayOfWeek, const std::string &time)
{
    NotificationData n = periodic(PeriodicType::Weekly, time);
    n.dayOfWeek = dayOfWeek;
    return n;
}

NotificationData monthly(int day, const std::string &time)
{
    NotificationData n = periodic(PeriodicType::Monthly, time);
    n.day = day;
    return n;
}

NotificationData annually(int month, int day, const std::string &time)
{
    NotificationData n = periodic(PeriodicType::Annually, time);
    n.month = month;
    n.day = day;
    return n;
}

NotificationData named(NotificationData n, const std::string &alias)
{
    n.alias = alias;
    return n;
}

// Starts from a fresh file, so that a malformed one left by a test does not stand in the way.
bool writeNotifications(const NotificationList &list)
{
    QFile::remove(ConfigurationFile::filePath());
    return ConfigurationFile().setNotifications(list);
}

struct Fired
{
    QString alias;
    QDateTime due;
    QDateTime clock; // the manager's time when its timer fired
};

// Drives a manager on a fake clock: it moves the clock to the next timer of the plan (the pass or an
// occurrence), makes that very timer fire, and answers every timerExpired as the server does.
class PlanRunner
{
public:
    int earlyMs = 0;            // how long before its time a timer fires
    bool passFirstOnTie = false; // which of two timers due at the same moment fires first

    explicit PlanRunner(const QDateTime &start)
        : now(start)
    {
        manager = std::make_unique<NotificationPlanner>(ConfigurationFile::filePath(), [this] { return now; });
        QObject::connect(manager.get(), &NotificationPlanner::timerExpired, [this](const QString &key) {
            record(key);
            if (const auto notification = manager->scheduledNotification(key))
                NotificationDelivery(ConfigurationFile::filePath()).periodicReport(*notification, {});
        });
        m_snapshot = manager->armedOccurrences();
        settle();
    }

    // Runs every timer due before `until`, in time order; false if a timer did not fire.
    bool runUntil(const QDateTime &until)
    {
        for (int guard = 0; guard < 1000; ++guard) {
            const QList<NotificationPlanner::ArmedOccurrence> armed = manager->armedOccurrences();
            const QDateTime pass = manager->nextPassTime();
            const bool occurrenceNext = !armed.isEmpty()
                && (armed.first().due < pass || (armed.first().due == pass && !passFirstOnTie));
            const QDateTime next = occurrenceNext ? armed.first().due : pass;
            if (next >= until) {
                now = until;
                return true;
            }
            now = next.addMSecs(-earlyMs);
            if (occurrenceNext) {
                QPointer<QTimer> timer = armed.first().timer;
                timer->start(0);
                if (!QTest::qWaitFor([&] { return !isArmed(timer); }, 5000))
                    return false;
            } else {
                pass_();
            }
            settle();
        }
        return false;
    }

    // What the planning timer does.
    void pass_()
    {
        manager->setupTimers();
        m_snapshot = manager->armedOccurrences();
        ++passes;
        maxArmed = std::max(maxArmed, int(m_snapshot.size()));
    }

    QList<QDateTime> firedDues(const QString &alias) const
    {
        QList<QDateTime> result;
        for (const Fired &f : fired)
            if (f.alias == alias)
                result.append(f.due);
        return result;
    }

    QDateTime now;
    std::unique_ptr<NotificationPlanner> manager;
    QList<Fired> fired;
    int passes = 1;
    int maxArmed = 0;

private:
    bool isArmed(const QTimer *timer) const
    {
        for (const auto &o : manager->armedOccurrences())
            if (o.timer == timer)
                return true;
        return false;
    }

    // Timers armed with interval 0 (due within the second) fire on their own.
    void settle()
    {
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
        m_snapshot = manager->armedOccurrences();
    }

    // The occurrence that fired is the one of the snapshot with this key that is no longer armed.
    void record(const QString &key)
    {
        const QList<NotificationPlanner::ArmedOccurrence> armed = manager->armedOccurrences();
        for (const auto &o : m_snapshot) {
            if (o.key != key)
                continue;
            const bool stillArmed = std::any_of(armed.begin(), armed.end(),
                                                [&](const auto &a) { return a.timer == o.timer; });
            if (!stillArmed) {
                fired.append({QString::fromStdString(o.notification.alias), o.due, now});
                m_snapshot = armed;
                return;
            }
        }
        fired.append({QStringLiteral("<unknown key>"), QDateTime(), now});
    }

    QList<NotificationPlanner::ArmedOccurrence> m_snapshot;
};

QList<QDateTime> everyDay(const QDateTime &first, int days)
{
    QList<QDateTime> result;
    for (int i = 0; i < days; ++i)
        result.append(QDateTime(first.date().addDays(i), first.time()));
    return result;
}

} // namespace

class TestNotificationSchedule : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("TZ", "Europe/Berlin");
        tzset();
        QVERIFY(m_dataFolder.isValid());
        qputenv("NORVALE_COMMON_APPDATA", m_dataFolder.path().toUtf8());
        QCOMPARE(at(2025, 7, 1, 12, 0).offsetFromUtc(), 7200); // the zone is really in force
    }

    void init() { QVERIFY(writeNotifications({})); }

    void nextDueTime_data()
    {
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<NotificationData>("notification");
        QTest::addColumn<QDateTime>("expected");

        QTest::newRow("daily, time passed") << t0 << periodic(PeriodicType::Daily, "09:00:00") << at(2025, 1, 16, 9, 0);
        QTest::newRow("daily, later today") << t0 << periodic(PeriodicType::Daily, "11:00:00") << at(2025, 1, 15, 11, 0);
        QTest::newRow("daily, equal to now") << t0 << periodic(PeriodicType::Daily, "10:00:00") << t0;
        QTest::newRow("daily, seconds") << t0 << periodic(PeriodicType::Daily, "10:00:01") << at(2025, 1, 15, 10, 0, 1);
        QTest::newRow("daily, a second too late") << t0.addMSecs(1) << periodic(PeriodicType::Daily, "10:00:00")
                                                  << at(2025, 1, 16, 10, 0);
        QTest::newRow("empty time is midnight") << t0 << periodic(PeriodicType::Daily, "") << at(2025, 1, 16, 0, 0);
        QTest::newRow("unreadable time is midnight") << t0 << periodic(PeriodicType::Daily, "25:61:00")
                                                     << at(2025, 1, 16, 0, 0);
        QTest::newRow("weekly Monday") << t0 << weekly(1, "08:00:00") << at(2025, 1, 20, 8, 0);
        QTest::newRow("weekly today, passed") << t0 << weekly(3, "08:00:00") << at(2025, 1, 22, 8, 0);
        QTest::newRow("weekly today, later") << t0 << weekly(3, "12:00:00") << at(2025, 1, 15, 12, 0);
        QTest::newRow("weekly Sunday") << t0 << weekly(7, "23:59:59") << at(2025, 1, 19, 23, 59, 59);
        QTest::newRow("monthly 31 in January") << t0 << monthly(31, "09:00:00") << at(2025, 1, 31, 9, 0);
        QTest::newRow("monthly 10") << t0 << monthly(10, "09:00:00") << at(2025, 2, 10, 9, 0);
        QTest::newRow("monthly 15, passed today") << t0 << monthly(15, "09:00:00") << at(2025, 2, 15, 9, 0);
        QTest::newRow("monthly 31 in February") << at(2025, 2, 15, 10, 0) << monthly(31, "09:00:00")
                                                << at(2025, 2, 28, 9, 0);
        QTest::newRow("monthly 31 in leap February") << at(2024, 2, 15, 10, 0) << monthly(31, "09:00:00")
                                                     << at(2024, 2, 29, 9, 0);
        QTest::newRow("monthly 31 passed on the 31st") << at(2025, 1, 31, 10, 0) << monthly(31, "09:00:00")
                                                       << at(2025, 2, 28, 9, 0);
        QTest::newRow("monthly across the year") << at(2025, 12, 20, 10, 0) << monthly(5, "09:00:00")
                                                 << at(2026, 1, 5, 9, 0);
        QTest::newRow("annually 29 Feb, common year") << at(2025, 1, 20, 10, 0) << annually(2, 29, "09:00:00")
                                                      << at(2025, 2, 28, 9, 0);
        QTest::newRow("annually 29 Feb, leap year") << at(2028, 1, 20, 10, 0) << annually(2, 29, "09:00:00")
                                                    << at(2028, 2, 29, 9, 0);
        QTest::newRow("annually 29 Feb after a leap day") << at(2024, 3, 1, 10, 0) << annually(2, 29, "09:00:00")
                                                          << at(2025, 2, 28, 9, 0);
        QTest::newRow("annually passed") << t0 << annually(1, 10, "09:00:00") << at(2026, 1, 10, 9, 0);
        QTest::newRow("annually later this year") << t0 << annually(12, 31, "09:00:00") << at(2025, 12, 31, 9, 0);

        // Daylight saving in Berlin: 2025-03-30 02:00 -> 03:00, 2025-10-26 03:00 -> 02:00.
        QTest::newRow("daily into summer time") << at(2025, 3, 29, 10, 0) << periodic(PeriodicType::Daily, "09:00:00")
                                                << at(2025, 3, 30, 9, 0);
        QTest::newRow("weekly into summer time") << at(2025, 3, 26, 10, 0) << weekly(7, "09:00:00")
                                                 << at(2025, 3, 30, 9, 0);
        QTest::newRow("daily into winter time") << at(2025, 10, 25, 10, 0) << periodic(PeriodicType::Daily, "09:00:00")
                                                << at(2025, 10, 26, 9, 0);
        QTest::newRow("daily in the skipped hour") << at(2025, 3, 29, 10, 0) << periodic(PeriodicType::Daily, "02:30:00")
                                                   << at(2025, 3, 30, 3, 30);
        QTest::newRow("daily after the skipped hour") << at(2025, 3, 30, 3, 30, 1)
                                                      << periodic(PeriodicType::Daily, "02:30:00") << at(2025, 3, 31, 2, 30);
        QTest::newRow("monthly in the skipped hour") << at(2025, 3, 20, 10, 0) << monthly(30, "02:00:00")
                                                     << at(2025, 3, 30, 3, 0);
        QTest::newRow("daily in the repeated hour") << at(2025, 10, 25, 10, 0)
                                                    << periodic(PeriodicType::Daily, "02:30:00")
                                                    << QDateTime(QDate(2025, 10, 26), QTime(0, 30), Qt::UTC).toLocalTime();
        QTest::newRow("daily after the repeated hour") << QDateTime(QDate(2025, 10, 26), QTime(0, 30, 1), Qt::UTC).toLocalTime()
                                                       << periodic(PeriodicType::Daily, "02:30:00") << at(2025, 10, 27, 2, 30);
        QTest::newRow("monthly into summer time") << at(2025, 3, 20, 10, 0) << monthly(5, "09:00:00")
                                                  << at(2025, 4, 5, 9, 0);
    }

    void nextDueTime()
    {
        QFETCH(QDateTime, now);
        QFETCH(NotificationData, notification);
        QFETCH(QDateTime, expected);
        const QDateTime due = NotificationPlanner::nextDueTime(notification, now);
        QCOMPARE(due, expected);
        QCOMPARE(due.time(), expected.time()); // the wall-clock time of day, not just the instant
        QCOMPARE(due.offsetFromUtc(), expected.offsetFromUtc());
    }

    void daylightSavingKeepsTheTimeOfDay()
    {
        const QDateTime winter = NotificationPlanner::nextDueTime(periodic(PeriodicType::Daily, "09:00:00"),
                                                                  at(2025, 3, 29, 8, 0));
        const QDateTime summer = NotificationPlanner::nextDueTime(periodic(PeriodicType::Daily, "09:00:00"),
                                                                  winter.addSecs(1));
        QCOMPARE(winter.offsetFromUtc(), 3600);
        QCOMPARE(summer.offsetFromUtc(), 7200);
        QCOMPARE(summer.time(), QTime(9, 0));
        QCOMPARE(winter.secsTo(summer), 23 * 3600); // the short day
    }

    void noDueTimeForNonsense_data()
    {
        QTest::addColumn<NotificationData>("notification");
        NotificationData unknownPeriod = periodic(PeriodicType(7), "09:00:00");
        QTest::newRow("periodic type 7") << unknownPeriod;
        QTest::newRow("periodic type -1") << periodic(PeriodicType(-1), "09:00:00");
        QTest::newRow("month 13") << annually(13, 1, "09:00:00");
        QTest::newRow("month 0") << annually(0, 1, "09:00:00");
        QTest::newRow("day 0") << monthly(0, "09:00:00");
    }

    void noDueTimeForNonsense()
    {
        QFETCH(NotificationData, notification);
        QVERIFY(!NotificationPlanner::nextDueTime(notification, t0).isValid());
    }

    void firstPassPlansItsWindow()
    {
        QVERIFY(writeNotifications({named(periodic(PeriodicType::Daily, "11:00:00"), "daily"),
                                    NotificationTest::triggered(1, {}),
                                    named(weekly(2, "08:00:00"), "weekly")}));
        PlanRunner run(t0);
        const auto armed = run.manager->armedOccurrences();
        QCOMPARE(armed.size(), 8); // daily 15th..21st at 11:00, Tuesday 21st at 08:00
        QCOMPARE(armed.first().due, at(2025, 1, 15, 11, 0));
        QCOMPARE(armed.first().timer->interval(), 3600 * 1000);
        QVERIFY(armed.first().timer->isActive());
        QCOMPARE(armed.last().due, at(2025, 1, 21, 11, 0));
        QCOMPARE(armed.at(6).due, at(2025, 1, 21, 8, 0));
        QCOMPARE(QString::fromStdString(armed.at(6).notification.alias), QStringLiteral("weekly"));
        for (const auto &o : armed) {
            QVERIFY(run.manager->isScheduled(o.key));
            QCOMPARE(o.key.size(), 38);
            QVERIFY(o.key.startsWith(QLatin1Char('{')) && o.key.endsWith(QLatin1Char('}')));
        }
        // One key per notification and pass: the daily's occurrences share theirs.
        QCOMPARE(armed.at(0).key, armed.at(1).key);
        QVERIFY(armed.at(6).key != armed.at(0).key);
        QCOMPARE(run.manager->triggeredNotifications().size(), 1);
        QCOMPARE(run.manager->windowStart(), t0.addDays(7));
        QCOMPARE(run.manager->nextPassTime(), t0.addDays(7).addSecs(-3600));
        QVERIFY(run.manager->passTimer()->isActive());
        QCOMPARE(run.manager->passTimer()->interval(), (7 * 86400 - 3600) * 1000);
    }

    void monthlyOccurrenceIsArmedByThePassWhoseWindowHoldsIt()
    {
        QVERIFY(writeNotifications({named(monthly(4, "09:00:00"), "monthly")})); // 4 February, 20 days ahead
        PlanRunner run(t0);
        QVERIFY(run.manager->armedOccurrences().isEmpty());
        run.now = run.manager->nextPassTime(); // 22 January 09:00
        run.pass_();
        QVERIFY(run.manager->armedOccurrences().isEmpty());
        run.now = run.manager->nextPassTime(); // 29 January 09:00, window up to 5 February 10:00
        run.pass_();
        const auto armed = run.manager->armedOccurrences();
        QCOMPARE(armed.size(), 1);
        QCOMPARE(armed.first().due, at(2025, 2, 4, 9, 0));
        QCOMPARE(armed.first().timer->interval(), 6 * 86400 * 1000);
        QVERIFY(run.runUntil(at(2025, 3, 1, 0, 0)));
        QCOMPARE(run.firedDues(QStringLiteral("monthly")), QList<QDateTime>{at(2025, 2, 4, 9, 0)});
    }

    void dailyOverThreeWeeksOncePerDay_data()
    {
        QTest::addColumn<int>("earlyMs");
        QTest::addColumn<bool>("passFirstOnTie");
        QTest::newRow("on time") << 0 << false;
        QTest::newRow("early, occurrence before pass") << 900 << false;
        QTest::newRow("early, pass before occurrence") << 900 << true;
        QTest::newRow("on time, pass before occurrence") << 0 << true;
    }

    void dailyOverThreeWeeksOncePerDay()
    {
        QFETCH(int, earlyMs);
        QFETCH(bool, passFirstOnTie);
        // 09:00 is exactly the time of every later pass (one hour before 10:00).
        QVERIFY(writeNotifications({named(periodic(PeriodicType::Daily, "09:00:00"), "nine"),
                                    named(periodic(PeriodicType::Daily, "10:00:00"), "ten")}));
        PlanRunner run(t0);
        run.earlyMs = earlyMs;
        run.passFirstOnTie = passFirstOnTie;
        QVERIFY(run.runUntil(t0.addDays(21)));
        QCOMPARE(run.passes, 4);
        QCOMPARE(run.firedDues(QStringLiteral("nine")), everyDay(at(2025, 1, 16, 9, 0), 21));
        // The construction second itself counts: a due time equal to now is kept.
        QCOMPARE(run.firedDues(QStringLiteral("ten")), everyDay(t0, 21));
        QVERIFY(run.maxArmed <= 2 * 8); // each pass plans one window, nothing piles up
        for (const Fired &f : run.fired)
            QVERIFY2(f.clock >= f.due.addSecs(-1), qPrintable(f.due.toString()));
    }

    void dailyAcrossDaylightSaving()
    {
        QVERIFY(writeNotifications({named(periodic(PeriodicType::Daily, "09:00:00"), "nine")}));
        PlanRunner run(at(2025, 3, 28, 10, 0));
        const auto armed = run.manager->armedOccurrences();
        QCOMPARE(armed.at(1).due, at(2025, 3, 30, 9, 0));
        QCOMPARE(armed.at(1).timer->interval(), (23 + 23) * 3600 * 1000); // the night of the change is short
        QVERIFY(run.runUntil(at(2025, 4, 10, 0, 0)));
        const QList<QDateTime> dues = run.firedDues(QStringLiteral("nine"));
        QCOMPARE(dues, everyDay(at(2025, 3, 29, 9, 0), 12));
        for (const QDateTime &due : dues)
            QCOMPARE(due.time(), QTime(9, 0));
    }

    void hoursThatDaylightSavingSkipsOrRepeats()
    {
        // 02:30 does not exist on 30 March and exists twice on 26 October: one occurrence a day all the same.
        QVERIFY(writeNotifications({named(periodic(PeriodicType::Daily, "02:30:00"), "night")}));
        PlanRunner spring(at(2025, 3, 29, 10, 0));
        QVERIFY(spring.runUntil(at(2025, 4, 1, 12, 0)));
        QCOMPARE(spring.firedDues(QStringLiteral("night")),
                 (QList<QDateTime>{at(2025, 3, 30, 3, 30), at(2025, 3, 31, 2, 30), at(2025, 4, 1, 2, 30)}));

        PlanRunner autumn(at(2025, 10, 25, 10, 0));
        QVERIFY(autumn.runUntil(at(2025, 10, 28, 12, 0)));
        const QDateTime firstOfTwo = QDateTime(QDate(2025, 10, 26), QTime(0, 30), Qt::UTC).toLocalTime();
        QCOMPARE(firstOfTwo.time(), QTime(2, 30));
        QCOMPARE(autumn.firedDues(QStringLiteral("night")),
                 (QList<QDateTime>{firstOfTwo, at(2025, 10, 27, 2, 30), at(2025, 10, 28, 2, 30)}));
    }

    void occurrencesInTheHourBeforeAWindowAreSent()
    {
        // Every pass after the first runs at Wednesday 09:00; these fall between it and its window.
        QVERIFY(writeNotifications({named(weekly(3, "09:30:00"), "weekly"),
                                    named(monthly(22, "09:15:00"), "monthly"),
                                    named(annually(1, 29, "09:45:00"), "annually")}));
        PlanRunner run(t0);
        QVERIFY(run.runUntil(t0.addDays(28)));
        QCOMPARE(run.firedDues(QStringLiteral("weekly")),
                 (QList<QDateTime>{at(2025, 1, 22, 9, 30), at(2025, 1, 29, 9, 30), at(2025, 2, 5, 9, 30),
                                   at(2025, 2, 12, 9, 30)}));
        QCOMPARE(run.firedDues(QStringLiteral("monthly")), QList<QDateTime>{at(2025, 1, 22, 9, 15)});
        QCOMPARE(run.firedDues(QStringLiteral("annually")), QList<QDateTime>{at(2025, 1, 29, 9, 45)});
    }

    void notificationAddedBeforeAPassCountsFromThatPass()
    {
        PlanRunner run(t0);
        QVERIFY(run.manager->armedOccurrences().isEmpty());
        // Due in the hour between the second pass (Wednesday 09:00) and its window (10:00).
        QVERIFY(writeNotifications({named(weekly(3, "09:30:00"), "weekly")}));
        QVERIFY(run.runUntil(t0.addDays(8)));
        QCOMPARE(run.firedDues(QStringLiteral("weekly")), QList<QDateTime>{at(2025, 1, 22, 9, 30)});
    }

    void unknownPeriodIsNeverPlanned()
    {
        QVERIFY(writeNotifications({named(periodic(PeriodicType(7), "11:00:00"), "seven")}));
        PlanRunner run(t0);
        QVERIFY(run.runUntil(t0.addDays(15)));
        QCOMPARE(run.passes, 3);
        QCOMPARE(run.maxArmed, 0);
        QVERIFY(run.fired.isEmpty());
    }

    void passesRebuildTheTriggeredList()
    {
        QVERIFY(writeNotifications({NotificationTest::triggered(1, {}, "a"), NotificationTest::triggered(1, {}, "b"),
                                    NotificationTest::triggered(0, {}, "c")}));
        PlanRunner run(t0);
        for (int i = 0; i < 5; ++i)
            run.pass_();
        const QList<NotificationData> list = run.manager->triggeredNotifications();
        QCOMPARE(list.size(), 3);
        QCOMPARE(QString::fromStdString(list.at(1).alias), QStringLiteral("b"));
    }

    void changedOrRemovedNotificationsLeaveThePlan()
    {
        QVERIFY(writeNotifications({named(periodic(PeriodicType::Daily, "11:00:00"), "changes"),
                                    named(periodic(PeriodicType::Daily, "12:00:00"), "goes")}));
        PlanRunner run(t0);
        QList<QPointer<QTimer>> oldTimers;
        QStringList oldKeys;
        for (const auto &o : run.manager->armedOccurrences()) {
            oldTimers.append(o.timer);
            oldKeys.append(o.key);
        }
        QCOMPARE(oldTimers.size(), 14);

        QVERIFY(writeNotifications({named(periodic(PeriodicType::Daily, "13:00:00"), "changes")}));
        QVERIFY(run.runUntil(t0.addDays(14)));
        for (const QPointer<QTimer> &timer : oldTimers)
            QVERIFY(!timer || !timer->isActive());
        for (const QString &key : oldKeys)
            QVERIFY(!run.manager->isScheduled(key));
        // The first window still ran on the old plan; from the pass on only the new form is sent.
        QCOMPARE(run.firedDues(QStringLiteral("goes")), everyDay(at(2025, 1, 15, 12, 0), 7));
        const QList<QDateTime> changed = run.firedDues(QStringLiteral("changes"));
        QCOMPARE(changed.mid(0, 7), everyDay(at(2025, 1, 15, 11, 0), 7));
        QCOMPARE(changed.mid(7), everyDay(at(2025, 1, 22, 13, 0), 7));
    }

    void latePassArmsTheNextOneAtOnce()
    {
        QVERIFY(writeNotifications({named(periodic(PeriodicType::Daily, "11:00:00"), "daily")}));
        PlanRunner run(t0);
        // The planning timer should have fired a week ago, and the window it was to plan is over too.
        run.now = t0.addDays(30);
        run.pass_();
        QCOMPARE(run.manager->passTimer()->interval(), 0);
        QVERIFY(run.manager->passTimer()->isActive());
        // The planning timer itself catches up pass by pass until a window holds the present.
        QTRY_VERIFY(run.manager->windowStart() > run.now);
        QVERIFY(run.manager->passTimer()->isActive());
        QVERIFY(run.manager->passTimer()->interval() > 0);
        const auto armed = run.manager->armedOccurrences();
        QVERIFY(!armed.isEmpty());
        QCOMPARE(armed.first().due, at(2025, 2, 14, 11, 0));
        for (int i = 1; i < armed.size(); ++i)
            QCOMPARE(armed.at(i).due, armed.at(i - 1).due.addDays(1));
    }

    void timersDieWithTheManager()
    {
        QVERIFY(writeNotifications({named(periodic(PeriodicType::Daily, "11:00:00"), "daily")}));
        QList<QPointer<QTimer>> timers;
        {
            PlanRunner run(t0);
            for (const auto &o : run.manager->armedOccurrences())
                timers.append(o.timer);
            QCOMPARE(timers.size(), 7);
        }
        for (const QPointer<QTimer> &timer : timers)
            QVERIFY(timer.isNull());
    }

    void unreadableFileKeepsThePlan_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("not JSON") << QByteArray("{ \"notifications\": [ oops");
        QTest::newRow("wrong type") << QByteArray("{\"notifications\": [{\"alias\": 5}]}");
        QTest::newRow("no notifications") << QByteArray("{\"recipients\": []}");
    }

    void unreadableFileKeepsThePlan()
    {
        QFETCH(QByteArray, content);
        QVERIFY(writeNotifications({named(periodic(PeriodicType::Daily, "11:00:00"), "daily"),
                                    NotificationTest::triggered(1, {}, "alert")}));
        PlanRunner run(t0);
        QVERIFY(NotificationTest::writeRawConfiguration(content));
        QString expectedError;
        try {
            ConfigurationFile().notifications();
        } catch (const std::exception &e) {
            expectedError = QString::fromUtf8(e.what());
        }
        QVERIFY(!expectedError.isEmpty());

        RecordingEventSink sink;
        QVERIFY(run.runUntil(t0.addDays(14)));
        // One entry per pass with the library's message; every delivery that could not read its
        // settings logged too and sent nothing.
        QCOMPARE(sink.count(LogType::Error, QStringLiteral("notification configuration")), 2);
        for (const RecordingEventSink::Entry &entry : sink.entries) {
            if (entry.message.contains(QStringLiteral("notification configuration")))
                QVERIFY2(entry.message.endsWith(expectedError), qPrintable(entry.message));
        }
        QCOMPARE(sink.count(LogType::Error, QStringLiteral("mail settings")), 14);
        QCOMPARE(run.manager->triggeredNotifications().size(), 1);
        QCOMPARE(run.firedDues(QStringLiteral("daily")), everyDay(at(2025, 1, 15, 11, 0), 14));
        QVERIFY(run.manager->passTimer()->isActive());

        // Mended: the next pass takes the file as it is (the pass of 29 January has already run).
        QVERIFY(writeNotifications({named(periodic(PeriodicType::Daily, "12:00:00"), "mended")}));
        QVERIFY(run.runUntil(t0.addDays(28)));
        QCOMPARE(run.firedDues(QStringLiteral("daily")), everyDay(at(2025, 1, 15, 11, 0), 21));
        QCOMPARE(run.firedDues(QStringLiteral("mended")), everyDay(at(2025, 2, 5, 12, 0), 7));
        QVERIFY(run.manager->triggeredNotifications().isEmpty());
    }

    void unreadableFileAtStartPlansNothing()
    {
        QVERIFY(NotificationTest::writeRawConfiguration("not json"));
        RecordingEventSink sink;
        PlanRunner run(t0);
        QCOMPARE(sink.count(LogType::Error, QStringLiteral("parse_error")), 1);
        QVERIFY(run.manager->armedOccurrences().isEmpty());
        QVERIFY(run.manager->passTimer()->isActive());
    }

private:
    QTemporaryDir m_dataFolder;
};

QTEST_GUILESS_MAIN(TestNotificationSchedule)
#include "tst_notificationschedule.moc"
