#include "PostgresLease.h"

#include "PostgresLiteral.h"

#include <QSqlQuery>

namespace NVL::Engineering::VK {

PostgresLease::PostgresLease(const QString &holder, int seconds)
    : m_holder(holder)
    , m_seconds(seconds)
{
}

bool PostgresLease::refresh(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    // One statement: two servers that try at once cannot both take it.
    const bool ok = query.exec(QStringLiteral("INSERT INTO planner_lease (id, holder, expires) VALUES (1, %1, "
                                              "clock_timestamp() + interval '%2 seconds') ON CONFLICT (id) DO UPDATE "
                                              "SET holder = excluded.holder, expires = excluded.expires WHERE "
                                              "planner_lease.holder = excluded.holder OR planner_lease.expires < "
                                              "clock_timestamp() RETURNING holder")
                                   .arg(PostgresLiteral::value(db, m_holder))
                                   .arg(m_seconds));
    m_held = ok && query.next();
    return m_held;
}

void PostgresLease::release(const QSqlDatabase &db)
{
    if (m_held)
        QSqlQuery(db).exec(QStringLiteral("DELETE FROM planner_lease WHERE holder = %1").arg(PostgresLiteral::value(db, m_holder)));
    m_held = false;
}

QString PostgresLease::heldCondition(const QSqlDatabase &db) const
{
    return QStringLiteral("EXISTS (SELECT 1 FROM planner_lease WHERE holder = %1 AND expires > clock_timestamp())")
        .arg(PostgresLiteral::value(db, m_holder));
}

} // namespace NVL::Engineering::VK
