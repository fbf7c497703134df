#pragma once

#include "ConfigurationSnapshot.h"

#include <ConfigurationData.h>

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

namespace NVL::Engineering::VK {

class ConfigurationWatcher;

// Decides when the server sends mail: reads the notification list from the configuration file (and
// keeps the mail settings read with it for the deliveries) and plans the periodic reports in seven-day windows, one single-shot timer per occurrence; keeps the
// triggered notifications for the health alerts. Logs when each periodic notification is next due, at
// every planning. Everything runs on the thread of the event loop.
class NotificationPlanner : public QObject
{
    Q_OBJECT

public:
    using Clock = std::function<QDateTime()>;

    static constexpr int WindowDays = 7;
    static constexpr int PassLeadSeconds = 3600; // a pass runs this long before its window starts
    static constexpr int MaxNextDueLines = 50;   // per planning; more are counted in one line

    // Plans the first window at once.
    explicit NotificationPlanner(const QString &configurationFile, QObject *parent = nullptr);
    // The clock gives the local wall-clock time that planning uses instead of the system's.
    NotificationPlanner(const QString &configurationFile, Clock clock, QObject *parent = nullptr);
    ~NotificationPlanner() override;

    // From now on a change of the file, once it has been quiet for quietMs, is read and the rest of
    // the current window planned anew from it; a file that cannot be read leaves the plan as it is.
    void watchConfigurationFile(int quietMs = 1000);

    // The notification of an occurrence that timerExpired announced under this key; none for a key
    // that no plan made.
    std::optional<NotificationData> scheduledNotification(const QString &key) const;
    // The SMTP settings and recipients read together with the notifications in use; never null.
    std::shared_ptr<const ConfigurationSnapshot::Mail> mailConfiguration() const;
    QList<NotificationData> triggeredNotifications() const;

    // The first due time at or after now, on the process's local clock (DueTime::nextDueTime);
    // invalid for an unknown periodic type or a day of the week, day or month out of range.
    QDateTime nextDueTime(const NotificationData &notification) const;
    static QDateTime nextDueTime(const NotificationData &notification, const QDateTime &now);

    // The plan as it stands, for diagnostics and tests.
    struct ArmedOccurrence
    {
        QString key;
        QDateTime due;
        NotificationData notification;
        QTimer *timer = nullptr;
    };
    QList<ArmedOccurrence> armedOccurrences() const; // in order of due time
    bool isScheduled(const QString &key) const;
    QDateTime windowStart() const;
    QDateTime nextPassTime() const;
    const QTimer *passTimer() const;

signals:
    // identity: the notification's whole content and rank, the same on every server that reads the same
    // file; with the due time it names the occurrence wherever it is planned.
    void timerExpired(QString uuid, QString identity, QDateTime due);
    // mailConfiguration() has been read anew.
    void mailConfigurationChanged();

public slots:
    void setupTimers();

private:
    struct Occurrence
    {
        QString key;
        QString identity;
        QDateTime due;
        QTimer *timer = nullptr;
    };

    // Plans every occurrence from now (or an occurrence still waiting) up to `end`, replacing the plan.
    void planUntil(const QDateTime &end, const QDateTime &now);
    void arm(const QString &key, const QString &identity, const QDateTime &due, const QDateTime &now);
    void occurrenceDue(QTimer *timer);
    void configurationChanged();
    void takeMail(const ConfigurationSnapshot &snapshot);

    QString m_configurationFile;
    Clock m_clock;
    QMap<QString, NotificationData> m_scheduled; // key -> notification, for the occurrences of the current plan
    QList<NotificationData> m_triggered;
    NotificationList m_notifications;            // the list last read without error
    std::shared_ptr<const ConfigurationSnapshot::Mail> m_mail;
    QList<Occurrence> m_armed;                   // occurrences whose timers have not fired yet
    QHash<QString, QDateTime> m_lastFired;       // identity -> due time of its latest fired occurrence
    QDateTime m_windowStart;
    QDateTime m_nextPass;
    QTimer m_planningTimer;
    std::unique_ptr<ConfigurationWatcher> m_watcher;
    QString m_changeReadError; // warned about already, until the file reads again
};

} // namespace NVL::Engineering::VK
