#pragma once

#include "SilentBattery.h"

#include <NotificationData.h>

#include <QByteArray>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QList>

namespace NVL::Engineering::VK {

class PostgresBatteryStore;
class PostgresLease;

// The planned mail of servers that share one database. Every server plans every occurrence; the one that
// holds the planner's lease claims an occurrence in the database before it sends it, and only while the
// database still counts it the holder, and so does a server that takes the lease over later, so an
// occurrence goes out once even when its due time found the holder hung, stopping or cut off. Silences are claimed in the database the same way.
class SharedPlannedMail
{
public:
    // An occurrence waits this long for this server to hold the lock and claim it.
    static constexpr int WaitSeconds = 3600;

    SharedPlannedMail(PostgresBatteryStore &store, const PostgresLease &lease);

    // An occurrence fell due here; identity names the notification the same way on every server.
    void due(const NotificationData &notification, const QString &identity, const QDateTime &due);
    // The occurrences this server has just claimed, to send now; nothing while it does not hold the lock.
    QList<NotificationData> claim();
    // Of the silent batteries, those no server has told yet, now claimed; none while the database
    // cannot be asked.
    QList<SilentBattery> untold(const QList<SilentBattery> &silent);

private:
    struct Waiting
    {
        NotificationData notification;
        QByteArray occurrence;
        qint64 due = 0;
        QDeadlineTimer expires;
    };

    PostgresBatteryStore &m_store;
    const PostgresLease &m_lock;
    QList<Waiting> m_waiting;
};

} // namespace NVL::Engineering::VK
