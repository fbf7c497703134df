#include "StoreFiller.h"

#include "BenchRecords.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace NVL::Engineering::VK::Bench {

namespace {

const QString ConnectionName = QStringLiteral("vkbench-store-filler");

bool countRows(QSqlQuery &query, qint64 &rows, QString &error)
{
    if (!query.exec(QStringLiteral("SELECT count(*) FROM batteries")) || !query.next()) {
        error = QStringLiteral("cannot count rows: ") + query.lastError().text();
        return false;
    }
    rows = query.value(0).toLongLong();
    return true;
}

StoreFiller::Result insertRows(QSqlDatabase &db, char tag, quint32 firstIndex, quint32 count, StoreFiller::Mode mode)
{
    StoreFiller::Result result;
    QSqlQuery query(db);
    if (!countRows(query, result.rowsBefore, result.error))
        return result;

    QElapsedTimer clock;
    clock.start();
    if (!db.transaction()) {
        result.error = QStringLiteral("cannot begin: ") + db.lastError().text();
        return result;
    }
    if (mode == StoreFiller::Mode::Replace && !query.exec(QStringLiteral("DELETE FROM batteries"))) {
        result.error = QStringLiteral("cannot empty the store: ") + query.lastError().text();
        db.rollback();
        return result;
    }
    const qint64 base = mode == StoreFiller::Mode::Replace ? 0 : result.rowsBefore;
    QSqlQuery insert(db);
    if (!insert.prepare(QStringLiteral("INSERT INTO batteries (serial, data) VALUES (?, ?)"))) {
        result.error = QStringLiteral("cannot prepare: ") + insert.lastError().text();
        db.rollback();
        return result;
    }
    // Stamped as the server would have: loopback sender, received now.
    const quint32 now = quint32(QDateTime::currentSecsSinceEpoch());
    for (quint32 i = 0; i < count; ++i) {
        BatteryRecord record = benchRecord(tag, firstIndex + i);
        record.reportAddress = 0x7F000001u;
        record.reportTime = now;
        insert.bindValue(0, record.serialKey());
        insert.bindValue(1, record.toBytes());
        if (!insert.exec()) {
            result.error = QStringLiteral("row %1: %2").arg(i).arg(insert.lastError().text());
            db.rollback();
            return result;
        }
    }
    if (!db.commit()) {
        result.error = QStringLiteral("cannot commit: ") + db.lastError().text();
        return result;
    }
    result.nanoseconds = clock.nsecsElapsed();
    if (!countRows(query, result.rowsAfter, result.error))
        return result;
    result.ok = result.rowsAfter == base + count;
    if (!result.ok)
        result.error = QStringLiteral("%1 rows after adding %2 to %3").arg(result.rowsAfter).arg(count).arg(base);
    return result;
}

} // namespace

StoreFiller::Result StoreFiller::fill(const QString &databasePath, char tag, quint32 firstIndex, quint32 count, Mode mode)
{
    Result result;
    if (!QFileInfo::exists(databasePath)) {
        result.error = QStringLiteral("no database at ") + databasePath;
        return result;
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), ConnectionName);
        db.setDatabaseName(databasePath);
        if (!db.open())
            result.error = QStringLiteral("cannot open %1: %2").arg(databasePath, db.lastError().text());
        else
            result = insertRows(db, tag, firstIndex, count, mode);
        db.close();
    }
    QSqlDatabase::removeDatabase(ConnectionName);
    return result;
}

} // namespace NVL::Engineering::VK::Bench
