#include "PostgresMailClaims.h"

#include "Log.h"
#include "PostgresLiteral.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace NVL::Engineering::VK::PostgresMailClaims {

namespace {

void warnUnasked(const QSqlQuery &query, const QSqlDatabase &db)
{
    Log::warning(QStringLiteral("The shared database cannot record the planned mail: %1")
                     .arg(query.lastError().isValid() ? query.lastError().text() : db.lastError().text()));
}

// Rows per statement: a fleet's silences at once would make one statement of megabytes.
constexpr int SilencesPerStatement = 4096;

} // namespace

std::optional<bool> claimOccurrence(const QSqlDatabase &db, const QByteArray &occurrence, qint64 due,
                                    const QString &site, const QString &condition)
{
    QSqlDatabase database = db;
    QSqlQuery query(database);
    const bool ok = database.transaction()
                    && query.exec(QStringLiteral("DELETE FROM planned_mail WHERE due < %1").arg(due - KeptSeconds))
                    && query.exec(QStringLiteral("INSERT INTO planned_mail (occurrence, due, site) SELECT %1, %2, %3 "
                                                 "WHERE %4 ON CONFLICT (occurrence) DO NOTHING RETURNING due")
                                      .arg(PostgresLiteral::bytes(occurrence))
                                      .arg(due)
                                      .arg(PostgresLiteral::value(database, site), condition.isEmpty() ? QStringLiteral("true") : condition));
    const bool claimed = ok && query.next();
    if (ok && database.commit())
        return claimed;
    warnUnasked(query, database);
    database.rollback();
    return std::nullopt;
}

std::optional<QSet<QByteArray>> claimSilences(const QSqlDatabase &db, const QList<QPair<QByteArray, qint64>> &silences)
{
    QSet<QByteArray> untold;
    QSqlDatabase database = db;
    QSqlQuery query(database);
    bool ok = database.transaction();
    for (qsizetype start = 0; ok && start < silences.size(); start += SilencesPerStatement) {
        QString values;
        for (qsizetype i = start; i < std::min(silences.size(), start + SilencesPerStatement); ++i)
            values += QStringLiteral("%1(%2,%3)")
                          .arg(values.isEmpty() ? QString() : QStringLiteral(","), PostgresLiteral::bytes(silences[i].first))
                          .arg(silences[i].second);
        // A battery's row changes only when it went silent again after another report: a new silence.
        ok = query.exec(QStringLiteral("INSERT INTO told_silences (serial, time) VALUES %1 ON CONFLICT (serial) DO "
                                       "UPDATE SET time = excluded.time WHERE told_silences.time <> excluded.time "
                                       "RETURNING serial")
                            .arg(values));
        while (ok && query.next())
            untold.insert(query.value(0).toByteArray());
    }
    if (ok && database.commit())
        return untold;
    warnUnasked(query, database);
    database.rollback();
    return std::nullopt;
}

} // namespace NVL::Engineering::VK::PostgresMailClaims
