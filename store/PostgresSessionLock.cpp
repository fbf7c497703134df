#include "PostgresSessionLock.h"

#include <QSqlQuery>
#include <QVariant>

namespace NVL::Engineering::VK {

PostgresSessionLock::PostgresSessionLock(const PostgresTarget &target, qint64 key, const QString &connectionName)
    : m_target(target), m_key(key), m_connection(connectionName)
{
}

PostgresSessionLock::~PostgresSessionLock()
{
    if (!m_added)
        return;
    QSqlDatabase::database(m_connection, false).close(); // the session ends, and the lock with it
    QSqlDatabase::removeDatabase(m_connection);
}

void PostgresSessionLock::drop()
{
    if (m_added)
        QSqlDatabase::database(m_connection, false).close();
    m_held = false;
}

bool PostgresSessionLock::refresh()
{
    if (!m_added) {
        QString error;
        if (!m_target.addConnection(m_connection, error))
            return false;
        m_added = true;
    }
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.isOpen() && !db.open())
        return m_held = false;
    QSqlQuery query(db);
    if (m_held) {
        // A session the database has ended (restart, network) took the lock with it.
        if (query.exec(QStringLiteral("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND granted AND "
                                      "pid = pg_backend_pid() AND classid = %1 AND objid = %2 AND objsubid = 1")
                           .arg(quint64(m_key) >> 32)
                           .arg(quint64(m_key) & 0xffffffffu))
            && query.next() && query.value(0).toInt() > 0)
            return true;
        db.close();
        return m_held = false;
    }
    if (!query.exec(QStringLiteral("SELECT pg_try_advisory_lock(%1)").arg(m_key)) || !query.next()) {
        db.close();
        return false;
    }
    m_held = query.value(0).toBool();
    return m_held;
}

} // namespace NVL::Engineering::VK
