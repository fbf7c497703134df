#include "PostgresHistoryReader.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <utility>

namespace NVL::Engineering::VK {

PostgresHistoryReader::PostgresHistoryReader(const PostgresTarget &target, qint64 since)
    : m_target(target), m_since(since), m_connection(QStringLiteral("vk-postgresql-history-reader"))
{
}

PostgresHistoryReader::~PostgresHistoryReader()
{
    close();
}

void PostgresHistoryReader::close()
{
    if (!m_added)
        return;
    QSqlDatabase::database(m_connection, false).close(); // the transaction and its cursor end with the session
    QSqlDatabase::removeDatabase(m_connection);
    m_added = false;
}

bool PostgresHistoryReader::open(QString &errorText)
{
    if (!m_target.addConnection(m_connection, errorText))
        return false;
    m_added = true;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery query(db);
    if (db.open() && db.transaction()
        && query.exec(QStringLiteral("DECLARE vk_history NO SCROLL CURSOR FOR SELECT serial, time, percent, class, "
                                     "capacity, cycles, address FROM history_points WHERE time >= %1 ORDER BY serial, time")
                          .arg(m_since)))
        return true;
    errorText = query.lastError().isValid() ? query.lastError().text() : db.lastError().text();
    close();
    return false;
}

bool PostgresHistoryReader::readSome(int rows, const Visit &visit, QString &errorText)
{
    if (!m_added)
        return false;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("FETCH %1 FROM vk_history").arg(rows))) {
        errorText = query.lastError().text();
        close();
        return false;
    }
    int fetched = 0;
    while (query.next()) {
        ++fetched;
        const QByteArray serial = query.value(0).toByteArray();
        if (serial != m_serial && !m_points.isEmpty())
            visit(m_serial, std::exchange(m_points, {}));
        m_serial = serial;
        m_points.append({query.value(1).toLongLong(), query.value(2).toInt(), query.value(3).toInt(),
                         query.value(4).toInt(), query.value(5).toInt(), query.value(6).toByteArray()});
    }
    if (fetched == rows)
        return true;
    if (!m_points.isEmpty())
        visit(m_serial, std::exchange(m_points, {}));
    close();
    return false;
}

} // namespace NVL::Engineering::VK
