#include "SharedPlannedMail.h"

#include "Log.h"
#include "LocalTimeText.h"
#include "PostgresBatteryStore.h"
#include "PostgresMailClaims.h"
#include "PostgresLease.h"

#include <QCryptographicHash>

namespace NVL::Engineering::VK {

SharedPlannedMail::SharedPlannedMail(PostgresBatteryStore &store, const PostgresLease &lease)
    : m_store(store), m_lock(lease)
{
}

void SharedPlannedMail::due(const NotificationData &notification, const QString &identity, const QDateTime &due)
{
    const qint64 seconds = due.toSecsSinceEpoch();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(identity.toUtf8());
    hash.addData(QByteArray::number(seconds));
    m_waiting.append({notification, hash.result(), seconds, QDeadlineTimer(std::chrono::seconds(WaitSeconds))});
}

QList<NotificationData> SharedPlannedMail::claim()
{
    QList<NotificationData> claimed;
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        std::optional<bool> mine;
        if (m_lock.isHeld() && m_store.isConnected())
            mine = PostgresMailClaims::claimOccurrence(m_store.database(), it->occurrence, it->due, m_store.site(),
                                                       m_lock.heldCondition(m_store.database()));
        if (mine.value_or(false))
            claimed.append(it->notification);
        if (mine.has_value()) {
            it = m_waiting.erase(it);
            continue;
        }
        // Without the database nobody can claim it; with it, the holder of the lock has.
        if (it->expires.hasExpired()) {
            if (!m_store.isConnected())
                Log::warning(QStringLiteral("Notification \"%1\" due %2 is not sent: the shared database could not be "
                                            "reached within an hour of its due time")
                                 .arg(QString::fromStdString(it->notification.alias),
                                      localTimeText(QDateTime::fromSecsSinceEpoch(it->due))));
            it = m_waiting.erase(it);
            continue;
        }
        ++it;
    }
    return claimed;
}

QList<SilentBattery> SharedPlannedMail::untold(const QList<SilentBattery> &silent)
{
    if (!m_store.isConnected())
        return {};
    QList<QPair<QByteArray, qint64>> silences;
    for (const SilentBattery &s : silent)
        silences.append({s.record.serialKey(), qint64(s.record.reportTime)});
    const auto claimed = PostgresMailClaims::claimSilences(m_store.database(), silences);
    QList<SilentBattery> untold;
    for (const SilentBattery &s : silent)
        if (claimed && claimed->contains(s.record.serialKey()))
            untold.append(s);
    return untold;
}

} // namespace NVL::Engineering::VK
