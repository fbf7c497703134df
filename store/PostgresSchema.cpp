#include "PostgresSchema.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace NVL::Engineering::VK::PostgresSchema {

namespace {

// Steps[n] takes the database from version n to n + 1; a step is never edited once released.
const char *const Version1[] = {
    "CREATE SEQUENCE battery_changes",
    // seq: the change number of the row's last write, so that every server can fetch what others wrote.
    // A deleted battery keeps its row, marked, so that the other servers learn of the delete by its seq.
    "CREATE TABLE batteries (serial bytea PRIMARY KEY, record bytea NOT NULL, time bigint NOT NULL, "
    "site text NOT NULL, address bytea, seq bigint NOT NULL, deleted boolean NOT NULL DEFAULT false)",
    "CREATE INDEX batteries_seq ON batteries (seq)",
    "CREATE TABLE history_points (serial bytea NOT NULL, time bigint NOT NULL, percent integer NOT NULL, "
    "class integer NOT NULL, capacity integer NOT NULL, cycles integer NOT NULL, address bytea, "
    "PRIMARY KEY (serial, time))",
    "CREATE TABLE forecasts (serial bytea PRIMARY KEY, newest bigint NOT NULL, status integer NOT NULL, "
    "day integer, earliest integer, latest integer, slope double precision NOT NULL, level double precision NOT NULL, "
    "days integer NOT NULL, model integer NOT NULL, since integer, prior_level double precision NOT NULL, "
    "prior_slope double precision NOT NULL, places bytea)",
};

// Planned mail goes out once for the fleet: whoever sends an occurrence or tells a silence claims it here
// first, so a server taking over the planner neither repeats nor misses one.
const char *const Version2[] = {
    "CREATE TABLE planned_mail (occurrence bytea PRIMARY KEY, due bigint NOT NULL, site text NOT NULL)",
    "CREATE INDEX planned_mail_due ON planned_mail (due)",
    "CREATE TABLE told_silences (serial bytea PRIMARY KEY, time bigint NOT NULL)",
    // What the servers keep about the fleet's upkeep, such as how far the history points are thinned.
    "CREATE TABLE vk_meta (key text PRIMARY KEY, value bigint NOT NULL)",
};

// Forecasts that follow wear as it speeds up: a curve, a new battery under the same serial, the noise, a
// yearly swing. The planner's lease, renewed by its holder, instead of a session lock that a holder which
// hung kept.
const char *const Version3[] = {
    "CREATE TABLE planner_lease (id integer PRIMARY KEY CHECK (id = 1), holder text NOT NULL, expires timestamptz NOT NULL)",
    "ALTER TABLE forecasts ADD COLUMN curve double precision NOT NULL DEFAULT 0",
    "ALTER TABLE forecasts ADD COLUMN noise double precision NOT NULL DEFAULT 0",
    "ALTER TABLE forecasts ADD COLUMN rise integer",
    "ALTER TABLE forecasts ADD COLUMN rise_from double precision NOT NULL DEFAULT 0",
    "ALTER TABLE forecasts ADD COLUMN season_sin double precision NOT NULL DEFAULT 0",
    "ALTER TABLE forecasts ADD COLUMN season_cos double precision NOT NULL DEFAULT 0",
};

struct Step
{
    const char *const *statements;
    std::size_t count;
};
const Step Steps[] = {{Version1, std::size(Version1)}, {Version2, std::size(Version2)}, {Version3, std::size(Version3)}};
static_assert(std::size(Steps) == Version);

bool run(QSqlQuery &query, const QString &statement, QString &errorText)
{
    if (query.exec(statement))
        return true;
    errorText = QStringLiteral("%1: %2").arg(statement.left(60), query.lastError().text());
    return false;
}

bool migrateLocked(QSqlDatabase db, QSqlQuery &query, QString &errorText)
{
    if (!run(query, QStringLiteral("CREATE TABLE IF NOT EXISTS vk_schema (version integer NOT NULL)"), errorText)
        || !run(query, QStringLiteral("SELECT version FROM vk_schema"), errorText))
        return false;
    int version = query.next() ? query.value(0).toInt() : 0;
    if (version > Version) {
        errorText = QStringLiteral("the database is at schema version %1; this program knows up to %2").arg(version).arg(Version);
        return false;
    }
    for (; version < Version; ++version) {
        if (!db.transaction()) {
            errorText = db.lastError().text();
            return false;
        }
        const Step &step = Steps[version];
        bool ok = true;
        for (std::size_t i = 0; ok && i < step.count; ++i)
            ok = run(query, QString::fromLatin1(step.statements[i]), errorText);
        ok = ok && run(query, QStringLiteral("DELETE FROM vk_schema"), errorText)
             && run(query, QStringLiteral("INSERT INTO vk_schema (version) VALUES (%1)").arg(version + 1), errorText);
        if (!ok || !db.commit()) {
            if (ok)
                errorText = db.lastError().text();
            db.rollback();
            return false;
        }
    }
    return true;
}

} // namespace

bool migrate(const QSqlDatabase &db, QString &errorText)
{
    QSqlQuery query(db);
    if (!run(query, QStringLiteral("SELECT pg_advisory_lock(%1)").arg(MigrationLock), errorText))
        return false;
    const bool migrated = migrateLocked(db, query, errorText);
    QString unlockError;
    run(query, QStringLiteral("SELECT pg_advisory_unlock(%1)").arg(MigrationLock), unlockError);
    return migrated;
}

qint64 rows(const QSqlDatabase &db, const QString &table, QString &errorText)
{
    QSqlQuery query(db);
    if (!run(query, QStringLiteral("SELECT count(*) FROM %1").arg(table), errorText) || !query.next())
        return -1;
    return query.value(0).toLongLong();
}

} // namespace NVL::Engineering::VK::PostgresSchema
