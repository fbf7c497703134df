#include "OutageSpool.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace NVL::Engineering::VK {

OutageSpool::OutageSpool(const QString &path, qsizetype limit)
    : m_path(path), m_connection(QStringLiteral("vk-outage-spool:") + path), m_limit(limit)
{
}

OutageSpool::~OutageSpool()
{
    close();
}

bool OutageSpool::open(QString &errorText)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        db.setDatabaseName(m_path);
        QSqlQuery query(db);
        const bool ok = db.open() && query.exec(QStringLiteral("PRAGMA journal_mode = WAL"))
                        && query.exec(QStringLiteral("PRAGMA synchronous = FULL"))
                        && query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS reports (id INTEGER PRIMARY KEY "
                                                     "AUTOINCREMENT, record BLOB NOT NULL, sender BLOB)"))
                        && query.exec(QStringLiteral("SELECT count(*) FROM pragma_table_info('reports') "
                                                     "WHERE name = 'deleted_at'"))
                        && query.next()
                        && (query.value(0).toInt() > 0
                            || query.exec(QStringLiteral("ALTER TABLE reports ADD COLUMN deleted_at INTEGER")))
                        && query.exec(QStringLiteral("SELECT count(*), count(deleted_at) FROM reports")) && query.next();
        if (ok) {
            m_size = query.value(0).toLongLong();
            m_deletes = query.value(1).toLongLong();
            m_open = true;
            return true;
        }
        errorText = QStringLiteral("the outage spool %1 cannot be used: %2")
                        .arg(m_path, db.isOpen() ? query.lastError().text() : db.lastError().text());
    }
    close();
    return false;
}

qsizetype OutageSpool::append(const QList<BatteryRecord> &records, const QList<QByteArray> &senders,
                              QString &errorText)
{
    const qsizetype room = std::min(records.size(), std::max<qsizetype>(0, m_limit - m_size));
    if (room < records.size())
        errorText = QStringLiteral("the outage spool is full (%1 reports)").arg(m_limit);
    if (!m_open || room == 0) {
        if (!m_open)
            errorText = QStringLiteral("the outage spool is not open");
        return 0;
    }
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery insert(db);
    bool ok = db.transaction() && insert.prepare(QStringLiteral("INSERT INTO reports (record, sender) VALUES (?, ?)"));
    for (qsizetype i = 0; ok && i < room; ++i) {
        insert.bindValue(0, records[i].toBytes());
        insert.bindValue(1, senders.value(i));
        ok = insert.exec();
    }
    if (ok && db.commit()) {
        m_size += room;
        return room;
    }
    errorText = insert.lastError().isValid() ? insert.lastError().text() : db.lastError().text();
    db.rollback();
    return 0;
}

bool OutageSpool::appendDelete(const QByteArray &serial, qint64 time, QString &errorText)
{
    if (!m_open || m_size >= m_limit) {
        errorText = m_open ? QStringLiteral("the outage spool is full (%1 reports)").arg(m_limit)
                           : QStringLiteral("the outage spool is not open");
        return false;
    }
    BatteryRecord record;
    std::copy(serial.cbegin(), serial.cbegin() + std::min<qsizetype>(serial.size(), sizeof record.serial), record.serial);
    QSqlQuery insert(QSqlDatabase::database(m_connection, false));
    if (!insert.prepare(QStringLiteral("INSERT INTO reports (record, deleted_at) VALUES (?, ?)"))) {
        errorText = insert.lastError().text();
        return false;
    }
    insert.bindValue(0, record.toBytes());
    insert.bindValue(1, time);
    if (!insert.exec()) {
        errorText = insert.lastError().text();
        return false;
    }
    ++m_size;
    ++m_deletes;
    return true;
}

QList<OutageSpool::Entry> OutageSpool::oldest(int count)
{
    QList<Entry> entries;
    if (!m_open)
        return entries;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT id, record, sender, deleted_at FROM reports ORDER BY id LIMIT %1").arg(count)))
        return entries;
    while (query.next())
        entries.append({query.value(0).toLongLong(), BatteryRecord::fromBytes(query.value(1).toByteArray()),
                        query.value(2).toByteArray(), query.value(3).toLongLong()});
    return entries;
}

bool OutageSpool::removeUpTo(qint64 id, QString &errorText)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("DELETE FROM reports WHERE id <= %1").arg(id))
        || !query.exec(QStringLiteral("SELECT count(*), count(deleted_at) FROM reports")) || !query.next()) {
        errorText = query.lastError().text();
        return false;
    }
    m_size = query.value(0).toLongLong();
    m_deletes = query.value(1).toLongLong();
    return true;
}

void OutageSpool::close()
{
    m_open = false;
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

} // namespace NVL::Engineering::VK
