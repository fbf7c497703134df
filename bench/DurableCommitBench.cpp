#include "DurableCommitBench.h"

#include "BenchRecords.h"

#include <QElapsedTimer>

#include <algorithm>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace NVL::Engineering::VK::Bench {

namespace {

const QString ConnectionName = QStringLiteral("vkbench-durable-commits");

// The server's tuning, in its order: page size and WAL must come before the first table exists.
const char *const Tuning[] = {
    "PRAGMA cache_size = 256",       "PRAGMA page_size = 512",   "PRAGMA mmap_size = 12582912",
    "PRAGMA locking_mode = EXCLUSIVE", "PRAGMA journal_mode = WAL", "PRAGMA synchronous = FULL",
};

// The same table shape as the server's, so each commit touches the same b-trees.
const char *const Schema[] = {
    "CREATE TABLE batteries (serial BLOB UNIQUE PRIMARY KEY NOT NULL, data BLOB NOT NULL)",
    "CREATE INDEX batteries_serial_idx ON batteries(serial)",
};

bool execute(QSqlQuery &query, const char *statement, QString &error)
{
    if (query.exec(QString::fromLatin1(statement)))
        return true;
    error = QStringLiteral("%1: %2").arg(QString::fromLatin1(statement), query.lastError().text());
    return false;
}

bool countRows(QSqlDatabase &db, DurableCommitBench::Result &result)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT count(*) FROM batteries")) || !query.next()) {
        result.error = QStringLiteral("cannot count rows: ") + query.lastError().text();
        return false;
    }
    result.stored = query.value(0).toLongLong();
    result.ok = result.stored == result.committed;
    if (!result.ok)
        result.error = QStringLiteral("%1 rows stored after %2 commits").arg(result.stored).arg(result.committed);
    return result.ok;
}

DurableCommitBench::Result measureBatched(QSqlDatabase &db, quint32 count, quint32 batch, const QDeadlineTimer &deadline)
{
    DurableCommitBench::Result result;
    QSqlQuery query(db);
    for (const char *statement : Tuning)
        if (!execute(query, statement, result.error))
            return result;
    if (!execute(query, Schema[0], result.error))
        return result;
    QSqlQuery upsert(db);
    if (!upsert.prepare(QStringLiteral("INSERT INTO batteries (serial, data) VALUES (?, ?) "
                                       "ON CONFLICT (serial) DO UPDATE SET data = excluded.data"))) {
        result.error = upsert.lastError().text();
        return result;
    }
    QElapsedTimer clock;
    clock.start();
    for (quint32 first = 0; first < count && !deadline.hasExpired(); first += batch) {
        bool good = query.exec(QStringLiteral("BEGIN TRANSACTION"));
        const quint32 end = std::min(count, first + batch);
        for (quint32 i = first; good && i < end; ++i) {
            const BatteryRecord record = benchRecord(SerialTag::Raw, i);
            upsert.bindValue(0, record.serialKey());
            upsert.bindValue(1, record.toBytes());
            good = upsert.exec();
        }
        good = good && query.exec(QStringLiteral("COMMIT"));
        if (!good) {
            result.error = QStringLiteral("batch at %1: %2 %3").arg(first).arg(query.lastError().text(), upsert.lastError().text());
            return result;
        }
        result.committed = end;
    }
    result.deadlineHit = result.committed < count;
    result.nanoseconds = clock.nsecsElapsed();
    countRows(db, result);
    return result;
}

DurableCommitBench::Result measure(QSqlDatabase &db, quint32 count, const QDeadlineTimer &deadline)
{
    DurableCommitBench::Result result;
    QSqlQuery query(db);
    for (const char *statement : Tuning)
        if (!execute(query, statement, result.error))
            return result;
    for (const char *statement : Schema)
        if (!execute(query, statement, result.error))
            return result;

    const QString begin = QStringLiteral("BEGIN TRANSACTION");
    const QString remove = QStringLiteral("DELETE FROM batteries WHERE serial = ?");
    const QString insert = QStringLiteral("INSERT INTO batteries (serial, data) VALUES (?, ?)");
    const QString commit = QStringLiteral("COMMIT");
    QElapsedTimer clock;
    clock.start();
    for (quint32 i = 0; i < count; ++i) {
        if (deadline.hasExpired()) {
            result.deadlineHit = true;
            break;
        }
        const BatteryRecord record = benchRecord(SerialTag::Raw, i);
        const QByteArray key = record.serialKey();
        // Prepared afresh each time, as the server does.
        QSqlQuery save(db);
        bool good = save.exec(begin);
        good = good && save.prepare(remove);
        if (good) {
            save.addBindValue(key);
            good = save.exec();
        }
        good = good && save.prepare(insert);
        if (good) {
            save.addBindValue(key);
            save.addBindValue(record.toBytes());
            good = save.exec();
        }
        good = good && save.exec(commit);
        if (!good) {
            result.error = QStringLiteral("row %1: %2").arg(i).arg(save.lastError().text());
            result.nanoseconds = clock.nsecsElapsed();
            return result;
        }
        ++result.committed;
    }
    result.nanoseconds = clock.nsecsElapsed();
    countRows(db, result);
    return result;
}

} // namespace

namespace {

template<typename Measure>
DurableCommitBench::Result onFreshFile(const QString &databasePath, Measure &&measureOn)
{
    for (const char *suffix : {"", "-wal", "-shm"})
        QFile::remove(databasePath + QLatin1String(suffix));
    DurableCommitBench::Result result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), ConnectionName);
        db.setDatabaseName(databasePath);
        if (!db.open())
            result.error = QStringLiteral("cannot open %1: %2").arg(databasePath, db.lastError().text());
        else
            result = measureOn(db);
        db.close();
    }
    QSqlDatabase::removeDatabase(ConnectionName);
    for (const char *suffix : {"", "-wal", "-shm"})
        QFile::remove(databasePath + QLatin1String(suffix));
    return result;
}

} // namespace

DurableCommitBench::Result DurableCommitBench::run(const QString &databasePath, quint32 count,
                                                   const QDeadlineTimer &deadline)
{
    return onFreshFile(databasePath, [&](QSqlDatabase &db) { return measure(db, count, deadline); });
}

DurableCommitBench::Result DurableCommitBench::runBatched(const QString &databasePath, quint32 count, quint32 batch,
                                                          const QDeadlineTimer &deadline)
{
    return onFreshFile(databasePath, [&](QSqlDatabase &db) { return measureBatched(db, count, batch, deadline); });
}

} // namespace NVL::Engineering::VK::Bench
