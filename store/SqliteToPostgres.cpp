#include "SqliteToPostgres.h"

#include "BatteryRecord.h"
#include "PostgresLiteral.h"
#include "PostgresSchema.h"
#include "ReportPlaces.h"

#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

namespace NVL::Engineering::VK::SqliteToPostgres {

namespace {

constexpr int RowsPerStatement = 500;

// A read-only connection: the files are left exactly as they were, and a running server's exclusive
// lock makes the move fail instead of reading a file in use.
class Source
{
public:
    Source(const QString &path, const QString &name) : m_name(name)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        m_open = QFileInfo::exists(path) && db.open();
    }
    ~Source()
    {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    bool isOpen() const { return m_open; }
    QSqlDatabase db() const { return QSqlDatabase::database(m_name, false); }

private:
    QString m_name;
    bool m_open = false;
};

// Rows of `select` into `table` (columns `columns`), RowsPerStatement per INSERT; `row` turns a source
// row into the values' text. Returns the rows read, -1 on failure.
qint64 copyRows(const QSqlDatabase &sourceDb, const QString &select, const QSqlDatabase &target, const QString &table,
                const QString &columns, const std::function<QString(const QSqlRecord &)> &row, QString &errorText)
{
    QSqlQuery read(sourceDb);
    read.setForwardOnly(true);
    if (!read.exec(select)) {
        errorText = QStringLiteral("%1 cannot be read: %2").arg(table, read.lastError().text());
        return -1;
    }
    QSqlQuery write(target);
    qint64 copied = 0;
    QStringList values;
    const auto flush = [&] {
        if (values.isEmpty())
            return true;
        const bool ok = write.exec(QStringLiteral("INSERT INTO %1 (%2) VALUES %3").arg(table, columns, values.join(QLatin1Char(','))));
        if (!ok)
            errorText = QStringLiteral("%1 cannot be written: %2").arg(table, write.lastError().text());
        values.clear();
        return ok;
    };
    while (read.next()) {
        values.append(row(read.record()));
        ++copied;
        if (values.size() == RowsPerStatement && !flush())
            return -1;
    }
    if (read.lastError().isValid()) {
        errorText = QStringLiteral("%1 cannot be read: %2").arg(table, read.lastError().text());
        return -1;
    }
    return flush() ? copied : -1;
}

QString rowOf(const QSqlDatabase &target, const QSqlRecord &record, int from = 0)
{
    QStringList parts;
    for (int i = from; i < record.count(); ++i)
        parts.append(PostgresLiteral::value(target, record.value(i)));
    return QLatin1Char('(') + parts.join(QLatin1Char(',')) + QLatin1Char(')');
}

} // namespace

bool copy(const QString &databaseFile, const QString &historyFile, const QString &site, const QSqlDatabase &target,
          QList<Count> &counts, QString &errorText)
{
    counts.clear();
    static const QStringList tables = {QStringLiteral("batteries"), QStringLiteral("history_points"),
                                       QStringLiteral("forecasts")};
    for (const QString &table : tables) {
        const qint64 present = PostgresSchema::rows(target, table, errorText);
        if (present != 0) {
            if (present > 0)
                errorText = QStringLiteral("the database already holds %1 row(s) in %2; the move goes only into an "
                                           "empty one").arg(present).arg(table);
            return false;
        }
    }
    const Source batteries(databaseFile, QStringLiteral("vk-move-batteries"));
    if (!batteries.isOpen()) {
        errorText = QStringLiteral("%1 cannot be opened for reading").arg(databaseFile);
        return false;
    }
    const Source history(historyFile, QStringLiteral("vk-move-history"));
    QSqlDatabase db = target;
    if (!db.transaction()) {
        errorText = db.lastError().text();
        return false;
    }
    const QString siteText = PostgresLiteral::value(target, site);
    const qint64 copiedBatteries = copyRows(
        batteries.db(), QStringLiteral("SELECT serial, data FROM batteries"), target, QStringLiteral("batteries"),
        QStringLiteral("serial, record, time, site, address, seq"),
        [&](const QSqlRecord &row) {
            const QByteArray data = row.value(1).toByteArray();
            const BatteryRecord record = BatteryRecord::fromBytes(data);
            const QByteArray address = ReportPlaces::ipv4Bytes(record.reportAddress);
            return QStringLiteral("(%1,%2,%3,%4,%5,nextval('battery_changes'))")
                .arg(PostgresLiteral::value(target, row.value(0).toByteArray()), PostgresLiteral::value(target, data))
                .arg(record.reportTime)
                .arg(siteText, address.isEmpty() ? QStringLiteral("NULL") : PostgresLiteral::value(target, address));
        },
        errorText);
    counts.append({QStringLiteral("batteries"), copiedBatteries, 0});
    bool ok = copiedBatteries >= 0;
    if (ok && history.isOpen()) {
        const auto all = [&target](const QSqlRecord &row) { return rowOf(target, row); };
        const qint64 points = copyRows(
            history.db(),
            QStringLiteral("SELECT b.serial, p.time, p.percent, p.class, p.capacity, p.cycles, p.address "
                           "FROM points p JOIN batteries b ON b.id = p.id"),
            target, QStringLiteral("history_points"), QStringLiteral("serial, time, percent, class, capacity, cycles, address"),
            all, errorText);
        counts.append({QStringLiteral("history_points"), points, 0});
        const qint64 forecasts = points < 0 ? -1 : copyRows(
            history.db(),
            QStringLiteral("SELECT b.serial, f.newest, f.status, f.day, f.earliest, f.latest, f.slope, f.level, f.days, "
                           "f.model, f.since, f.prior_level, f.prior_slope, f.places FROM forecasts f "
                           "JOIN batteries b ON b.id = f.id"),
            target, QStringLiteral("forecasts"),
            QStringLiteral("serial, newest, status, day, earliest, latest, slope, level, days, model, since, "
                           "prior_level, prior_slope, places"),
            all, errorText);
        counts.append({QStringLiteral("forecasts"), forecasts, 0});
        ok = points >= 0 && forecasts >= 0;
        // Rows of the file that the join would leave behind count as rows not moved.
        QSqlQuery source(history.db());
        for (Count &count : counts) {
            if (count.table == QLatin1String("history_points") && source.exec(QStringLiteral("SELECT count(*) FROM points")) && source.next())
                count.source = source.value(0).toLongLong();
            if (count.table == QLatin1String("forecasts") && source.exec(QStringLiteral("SELECT count(*) FROM forecasts")) && source.next())
                count.source = source.value(0).toLongLong();
        }
    }
    if (!ok || !db.commit()) {
        if (ok)
            errorText = db.lastError().text();
        db.rollback();
        return false;
    }
    for (Count &count : counts) {
        QString countError;
        count.target = PostgresSchema::rows(target, count.table, countError);
        if (count.target != count.source) {
            errorText = QStringLiteral("%1: %2 row(s) in SQLite, %3 in PostgreSQL").arg(count.table).arg(count.source).arg(count.target);
            ok = false;
        }
    }
    return ok;
}

} // namespace NVL::Engineering::VK::SqliteToPostgres
