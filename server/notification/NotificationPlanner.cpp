#include "NotificationPlanner.h"

#include "ConfigurationSnapshot.h"
#include "ConfigurationWatcher.h"
#include "DueTime.h"
#include "LocalTimeText.h"
#include "Log.h"

#include <QDir>
#include <QTimeZone>
#include <QUuid>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <exception>
#include <limits>
#include <vector>

namespace NVL::Engineering::VK {

// How the plan works
//
// A pass plans, for every periodic notification, EVERY occurrence from `from` up to the end of its
// window, one timer each; there is no re-arming after a report. Before planning, the pass cancels
// all timers of the previous plan, so a notification removed or changed in the file is never sent
// in its old form once a pass has read the file.
//
// `from` is the pass's own time, or the due time of an occurrence of the old plan that is still
// waiting (an event loop blocked by a long SMTP session). A pass runs an hour before its window,
// so this hour, which the previous pass planned as well, is planned again from the fresh list;
// an occurrence there (weekly, monthly, whatever) is therefore armed exactly once by the newest
// pass, and nothing falls between two windows.
//
// Timers fire up to a second early. An occurrence counts as sent the moment its timer fires:
// m_lastFired keeps, per notification, the due time of its latest fired occurrence, and a pass
// skips everything at or before it. A notification's identity is its whole content plus its rank
// among identical entries of the file, so two identical entries still mail twice, and an edited
// entry is a new notification.
//
// A notification whose fields are out of range, or whose due times would not advance, is left out of
// the pass with a Warning rather than planned: no walk over due times can spin.
//
// A file that cannot be read leaves `m_notifications` as it was: the pass logs the error and plans
// the next window from the list it had. A pass whose next pass time has already gone by arms it
// with interval 0, so planning catches up instead of stopping. Every timer is a child or member of
// the manager and dies with it.
//
// A watched file is read again once it has been quiet for a moment after a change (the editor
// replaces it by a rename; the folder sees that). When the list differs, the rest of the current
// window, from now to the end the last pass planned to, is planned anew in the same way: m_lastFired
// keeps what was sent from being sent twice, and an edited notification goes at its new time. A file
// that cannot be read then is named in one Warning and leaves the plan as it is.

namespace {

int intervalMs(const QDateTime &now, const QDateTime &due)
{
    // To the millisecond: whole seconds would drop now's fraction and fire up to a second early.
    // Never negative, never past what a timer holds.
    return int(std::clamp<qint64>(now.msecsTo(due), 0, std::numeric_limits<int>::max()));
}

// The zone of the process's local time; a fixed offset when the system names none Qt knows.
QTimeZone localZone(const QDateTime &now)
{
    const QTimeZone system = QTimeZone::systemTimeZone();
    return system.isValid() ? system : QTimeZone(now.toLocalTime().offsetFromUtc());
}

void warnNotPlanned(const NotificationData &notification, const QString &reason)
{
    Log::warning(QStringLiteral("Notification \"%1\" is left out of this planning pass: %2")
                     .arg(QString::fromStdString(notification.alias), reason));
}

QString contentOf(const NotificationData &notification)
{
    return QString::fromStdString(
        nlohmann::json(notification).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

} // namespace

NotificationPlanner::NotificationPlanner(const QString &configurationFile, QObject *parent)
    : NotificationPlanner(configurationFile, [] { return QDateTime::currentDateTime(); }, parent)
{
}

NotificationPlanner::NotificationPlanner(const QString &configurationFile, Clock clock, QObject *parent)
    : QObject(parent)
    , m_configurationFile(configurationFile)
    , m_clock(std::move(clock))
{
    m_planningTimer.setSingleShot(true);
    m_planningTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_planningTimer, &QTimer::timeout, this, &NotificationPlanner::setupTimers);
    m_windowStart = m_clock();
    setupTimers();
}

NotificationPlanner::~NotificationPlanner() = default;

void NotificationPlanner::setupTimers()
{
    const QDateTime now = m_clock();
    const ConfigurationSnapshot snapshot = ConfigurationSnapshot::read(m_configurationFile);
    // As after a change, a file that cannot be read keeps the mail settings too, once there are any.
    if (snapshot.notificationsError.isEmpty() || !m_mail)
        takeMail(snapshot);
    if (snapshot.notificationsError.isEmpty())
        m_notifications = snapshot.notifications;
    else
        Log::error(QStringLiteral("Cannot read the notification configuration, keeping the "
                                  "previous notifications: %1")
                       .arg(snapshot.notificationsError));

    const QDateTime windowEnd = m_windowStart.addDays(WindowDays);
    planUntil(windowEnd, now);
    m_windowStart = windowEnd;
    m_nextPass = windowEnd.addSecs(-PassLeadSeconds);
    m_planningTimer.start(intervalMs(now, m_nextPass));
}

void NotificationPlanner::planUntil(const QDateTime &end, const QDateTime &now)
{
    const QTimeZone zone = localZone(now);
    QDateTime from = now;
    for (const Occurrence &occurrence : std::as_const(m_armed)) {
        from = std::min(from, occurrence.due);
        delete occurrence.timer;
    }
    m_armed.clear();
    m_scheduled.clear();
    m_triggered.clear();

    QHash<QString, int> rank;
    QHash<QString, QDateTime> stillFired;
    QStringList nextDue;
    std::vector<Occurrence> toArm;
    for (const NotificationData &notification : std::as_const(m_notifications)) {
        if (notification.notificationType == NotificationKind::Triggered) {
            m_triggered.append(notification);
            continue;
        }
        if (notification.notificationType != NotificationKind::Periodic)
            continue;

        const QString content = contentOf(notification);
        const QString identity = content + QLatin1Char('#') + QString::number(rank[content]++);
        const QDateTime fired = m_lastFired.value(identity);
        if (fired.isValid())
            stillFired.insert(identity, fired);

        const DueTime::Plan plan = DueTime::dueTimesBetween(notification, from, end, zone);
        if (plan.outcome == DueTime::Plan::FieldOutOfRange) {
            warnNotPlanned(notification,
                           QStringLiteral("its day of the week, day or month is out of range."));
            continue;
        }
        if (plan.outcome == DueTime::Plan::NoProgress) {
            warnNotPlanned(notification, QStringLiteral("its due times do not advance."));
            continue;
        }
        const QString key = QUuid::createUuid().toString(QUuid::WithBraces);
        QDateTime first;
        for (const QDateTime &dueInZone : plan.dueTimes) {
            const QDateTime due = dueInZone.toLocalTime();
            if (fired.isValid() && due <= fired)
                continue;
            toArm.push_back({key, identity, due});
            if (!first.isValid())
                first = due;
        }
        if (first.isValid())
            m_scheduled.insert(key, notification);
        else // nothing left in this window: the next one lies beyond it
            first = DueTime::nextDueTime(notification, std::max(end, from), zone).toLocalTime();
        if (!first.isValid()) {
            warnNotPlanned(notification, QStringLiteral("its period is unknown."));
            continue;
        }
        nextDue.append(QStringLiteral("Notification \"%1\" is next due %2")
                           .arg(QString::fromStdString(notification.alias), localTimeText(first)));
    }
    m_lastFired = stillFired; // forget notifications that left the file

    // In order of due time: the event loop keeps its timers sorted, and each one then goes at the end
    // of its list instead of being walked to its place among thousands.
    std::stable_sort(toArm.begin(), toArm.end(),
                     [](const Occurrence &a, const Occurrence &b) { return a.due < b.due; });
    for (const Occurrence &occurrence : toArm)
        arm(occurrence.key, occurrence.identity, occurrence.due, now);

    if (nextDue.isEmpty())
        nextDue.append(QStringLiteral("No periodic notification is planned"));
    // A line for each of a few notifications; past them, a count keeps the log readable.
    const qsizetype listed = std::min<qsizetype>(nextDue.size(), MaxNextDueLines);
    for (qsizetype i = 0; i < listed; ++i)
        Log::information(nextDue.at(i));
    if (nextDue.size() > listed)
        Log::information(QStringLiteral("%1 more periodic notifications are planned").arg(nextDue.size() - listed));
}

void NotificationPlanner::arm(const QString &key, const QString &identity, const QDateTime &due,
                              const QDateTime &now)
{
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    // A coarse timer of this length may be a whole second off; planning allows for one second only.
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, [this, timer] { occurrenceDue(timer); });
    m_armed.append({key, identity, due, timer});
    timer->start(intervalMs(now, due));
}

void NotificationPlanner::occurrenceDue(QTimer *timer)
{
    const auto it = std::find_if(m_armed.begin(), m_armed.end(),
                                 [timer](const Occurrence &occurrence) { return occurrence.timer == timer; });
    if (it == m_armed.end())
        return;
    const Occurrence occurrence = *it;
    m_armed.erase(it);
    timer->deleteLater();

    QDateTime &fired = m_lastFired[occurrence.identity];
    if (!fired.isValid() || fired < occurrence.due)
        fired = occurrence.due;
    emit timerExpired(occurrence.key, occurrence.identity, occurrence.due);
}

void NotificationPlanner::watchConfigurationFile(int quietMs)
{
    if (m_watcher)
        return;
    m_watcher = std::make_unique<ConfigurationWatcher>(m_configurationFile, quietMs);
    connect(m_watcher.get(), &ConfigurationWatcher::changed, this, &NotificationPlanner::configurationChanged);
}

void NotificationPlanner::configurationChanged()
{
    const QString path = QDir::toNativeSeparators(m_configurationFile);
    // A file whose notifications cannot be read changes nothing: the plan and its mail settings go on.
    const ConfigurationSnapshot snapshot = ConfigurationSnapshot::read(m_configurationFile);
    if (!snapshot.notificationsError.isEmpty()) {
        const QString &message = snapshot.notificationsError;
        if (message != m_changeReadError)
            Log::write(QStringLiteral("Configuration file %1 cannot be read, the notifications stay as "
                                      "planned: %2")
                           .arg(path, message),
                       snapshot.tooLarge ? LogType::Error : LogType::Warning);
        m_changeReadError = message;
        return;
    }
    m_changeReadError.clear();
    m_watcher->markRead(); // a first read may have written it
    takeMail(snapshot);
    const NotificationList &notifications = snapshot.notifications;
    if (notifications == m_notifications) {
        Log::information(QStringLiteral("Configuration file %1 changed; the notifications are as planned").arg(path));
        return;
    }
    m_notifications = notifications;
    Log::information(QStringLiteral("Configuration file %1 changed: the notifications are planned anew").arg(path));
    planUntil(m_windowStart, m_clock());
}

void NotificationPlanner::takeMail(const ConfigurationSnapshot &snapshot)
{
    // A limit is told at every read that meets it; other errors when a mail needs the settings.
    if (snapshot.mail->tooLarge)
        Log::error(QStringLiteral("The mail settings of configuration file %1 are refused: %2")
                       .arg(QDir::toNativeSeparators(m_configurationFile), snapshot.mail->error));
    m_mail = snapshot.mail;
    emit mailConfigurationChanged();
}

std::shared_ptr<const ConfigurationSnapshot::Mail> NotificationPlanner::mailConfiguration() const
{
    return m_mail;
}

std::optional<NotificationData> NotificationPlanner::scheduledNotification(const QString &key) const
{
    const auto it = m_scheduled.constFind(key);
    if (it == m_scheduled.constEnd())
        return std::nullopt;
    return it.value();
}

QDateTime NotificationPlanner::nextDueTime(const NotificationData &notification) const
{
    return nextDueTime(notification, m_clock());
}

QDateTime NotificationPlanner::nextDueTime(const NotificationData &notification, const QDateTime &now)
{
    return DueTime::nextDueTime(notification, now, localZone(now)).toLocalTime();
}

QList<NotificationPlanner::ArmedOccurrence> NotificationPlanner::armedOccurrences() const
{
    QList<ArmedOccurrence> result;
    for (const Occurrence &occurrence : m_armed)
        result.append({occurrence.key, occurrence.due, m_scheduled.value(occurrence.key), occurrence.timer});
    std::stable_sort(result.begin(), result.end(),
                     [](const ArmedOccurrence &a, const ArmedOccurrence &b) { return a.due < b.due; });
    return result;
}

QList<NotificationData> NotificationPlanner::triggeredNotifications() const
{
    return m_triggered;
}

bool NotificationPlanner::isScheduled(const QString &key) const
{
    return m_scheduled.contains(key);
}

QDateTime NotificationPlanner::windowStart() const
{
    return m_windowStart;
}

QDateTime NotificationPlanner::nextPassTime() const
{
    return m_nextPass;
}

const QTimer *NotificationPlanner::passTimer() const
{
    return &m_planningTimer;
}

} // namespace NVL::Engineering::VK
