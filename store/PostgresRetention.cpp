#include "PostgresRetention.h"

#include "Log.h"
#include "PostgresLiteral.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace NVL::Engineering::VK::PostgresRetention {

std::optional<Slice> thin(const QSqlDatabase &db, const QByteArray &after, int batteries, const Pass &pass)
{
    QSqlQuery query(db);
    // The two deletes touch different points (before removeBefore, and from examineFrom on), so that one
    // snapshot serves both.
    const QString statement = QStringLiteral(
        "WITH b AS (SELECT DISTINCT serial FROM history_points WHERE serial > %1 ORDER BY serial LIMIT %2), "
        "old AS (DELETE FROM history_points h USING b WHERE h.serial = b.serial AND h.time < %3 RETURNING 1), "
        // A day keeps the point that stands for it, as the history file's days do (DailyHealth): the
        // upper median of its percentages of 100 or less (of all where none is), the latest of that value.
        "days AS (SELECT h.serial, h.time, h.percent, (to_timestamp(h.time) AT TIME ZONE %4)::date AS d, "
        "h.percent > 100 AS wild FROM history_points h JOIN b ON h.serial = b.serial WHERE h.time >= %5 AND h.time < %6), "
        "eligible AS (SELECT *, row_number() OVER (PARTITION BY serial, d ORDER BY percent, time) - 1 AS i, "
        "count(*) OVER (PARTITION BY serial, d) AS n FROM days x WHERE NOT wild OR NOT EXISTS (SELECT 1 FROM days y "
        "WHERE y.serial = x.serial AND y.d = x.d AND NOT y.wild)), "
        "middle AS (SELECT serial, d, percent FROM eligible WHERE i = n / 2), "
        "kept AS (SELECT e.serial, max(e.time) AS time FROM eligible e JOIN middle m ON m.serial = e.serial AND m.d = e.d "
        "AND m.percent = e.percent GROUP BY e.serial, e.d), "
        "thinned AS (DELETE FROM history_points h USING days r WHERE h.serial = r.serial AND h.time = r.time "
        "AND NOT EXISTS (SELECT 1 FROM kept k WHERE k.serial = r.serial AND k.time = r.time) RETURNING 1) "
        "SELECT (SELECT serial FROM b ORDER BY serial DESC LIMIT 1), (SELECT count(*) FROM old) + (SELECT count(*) FROM thinned)")
                                  .arg(PostgresLiteral::bytes(after))
                                  .arg(batteries)
                                  .arg(pass.removeBefore)
                                  .arg(PostgresLiteral::value(db, pass.zone))
                                  .arg(std::max(pass.examineFrom, pass.removeBefore))
                                  .arg(pass.cutoff);
    if (!query.exec(statement) || !query.next()) {
        Log::warning(QStringLiteral("The history points of the shared database cannot be thinned: %1")
                         .arg(query.lastError().text()));
        return std::nullopt;
    }
    return Slice{query.value(0).toByteArray(), query.value(1).toLongLong()};
}

std::optional<qint64> thinnedBefore(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT value FROM vk_meta WHERE key = 'thinned_before'")))
        return std::nullopt;
    return query.next() ? query.value(0).toLongLong() : 0;
}

bool setThinnedBefore(const QSqlDatabase &db, qint64 time)
{
    QSqlQuery query(db);
    return query.exec(QStringLiteral("INSERT INTO vk_meta (key, value) VALUES ('thinned_before', %1) ON CONFLICT (key) "
                                     "DO UPDATE SET value = excluded.value")
                          .arg(time));
}

} // namespace NVL::Engineering::VK::PostgresRetention
