#include "PostgresBatteryStore.h"

#include "Log.h"
#include "PostgresLiteral.h"
#include "PostgresSchema.h"
#include "ReportPlaces.h"

#include <QHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <limits>

namespace NVL::Engineering::VK {

namespace {

// Where a report came from: the sender's address where the record cannot hold it (IPv6), else the record's.
QByteArray senderOf(const QList<BatteryRecord> &records, const QList<QByteArray> &senders, qsizetype i)
{
    return senders.value(i).isEmpty() ? ReportPlaces::ipv4Bytes(records[i].reportAddress) : senders.value(i);
}

} // namespace

PostgresBatteryStore::PostgresBatteryStore(const PostgresTarget &target, const QString &site,
                                           const QString &spoolPath, qsizetype spoolLimit, bool keepPoints)
    : m_target(target)
    , m_site(site)
    , m_keepPoints(keepPoints)
    , m_connection(QStringLiteral("vk-postgresql-store"))
    , m_spool(spoolPath, spoolLimit)
{
}

PostgresBatteryStore::~PostgresBatteryStore()
{
    close();
}

QSqlDatabase PostgresBatteryStore::db() const
{
    return QSqlDatabase::database(m_connection, false);
}

bool PostgresBatteryStore::open(QString &errorText)
{
    if (!m_target.addConnection(m_connection, errorText))
        return false;
    m_added = true;
    if (!m_spool.open(errorText))
        return false;
    QString reason;
    bool reached = false;
    if (connect(reason, reached))
        return true;
    // A database that refuses this server's sign-in or schema stays so: that is a configuration to
    // mend, not an outage to wait out.
    static const char *const wrongSetup[] = {"authentication", "does not exist", "pg_hba.conf", "password"};
    bool misconfigured = reached;
    for (const char *text : wrongSetup)
        misconfigured = misconfigured || reason.contains(QLatin1String(text), Qt::CaseInsensitive);
    if (misconfigured) {
        errorText = QStringLiteral("The shared database %1 cannot be used: %2").arg(m_target.describe(), reason.trimmed());
        return false;
    }
    // The reports that come meanwhile wait in the spool; the rows come when the database does.
    lostConnection(reason);
    return true;
}

bool PostgresBatteryStore::connect(QString &errorText, bool &reached)
{
    QSqlDatabase database = db();
    reached = false;
    if (!database.open()) {
        errorText = database.lastError().text();
        return false;
    }
    reached = true;
    m_retryMs = 0;
    // A schema this program cannot use is a failure of the start, not an outage: the caller sees it.
    if (!PostgresSchema::migrate(database, errorText)) {
        database.close();
        return false;
    }
    // A database tuned for speed must not turn a report this server took into one it can lose.
    QSqlQuery(database).exec(QStringLiteral("SET synchronous_commit = on"));
    if (m_connected)
        return true;
    m_connected = true;
    if (m_lostSince.isValid()) {
        Log::information(QStringLiteral("The shared database %1 is reached again; %2 report(s)%3 waiting in the local "
                                        "spool are stored now")
                             .arg(m_target.describe())
                             .arg(m_spool.size() - m_spool.deletes())
                             .arg(m_spool.deletes() > 0 ? QStringLiteral(" and %1 delete request(s)").arg(m_spool.deletes())
                                                        : QString()));
        m_lostSince = QDateTime();
    }
    return true;
}

void PostgresBatteryStore::lostConnection(const QString &reason)
{
    db().close();
    m_connected = false;
    if (m_lostSince.isValid())
        return; // told once per outage
    m_lostSince = QDateTime::currentDateTimeUtc();
    m_lostReason = reason.trimmed();
    Log::warning(QStringLiteral("The shared database %1 cannot be reached (%2): reports wait in the local spool until "
                                "it is back")
                     .arg(m_target.describe(), m_lostReason));
}

QString PostgresBatteryStore::pointRows(const QList<BatteryRecord> &records, const QList<QByteArray> &senders) const
{
    // As the history file keeps them: the later of two reports of a battery in one second.
    QHash<QPair<QByteArray, quint32>, qsizetype> latest;
    for (qsizetype i = 0; i < records.size(); ++i)
        if (isValidRecord(records[i]))
            latest.insert({records[i].serialKey(), records[i].reportTime}, i);
    QString rows;
    for (qsizetype i : std::as_const(latest)) {
        const BatteryRecord &record = records[i];
        const QByteArray sender = senderOf(records, senders, i);
        if (!rows.isEmpty())
            rows += QLatin1Char(',');
        rows += QStringLiteral("(%1,%2,%3,%4,%5,%6,%7)")
                    .arg(PostgresLiteral::bytes(record.serialKey()))
                    .arg(record.reportTime)
                    .arg(healthPercentage(record))
                    .arg(int(healthClass(record)))
                    .arg(int(record.fullCapacity))
                    .arg(int(record.cycleCount))
                    .arg(PostgresLiteral::bytesOrNull(sender));
    }
    return rows;
}

bool PostgresBatteryStore::upsert(const QList<BatteryRecord> &records, const QList<QByteArray> &senders,
                                  QSet<QByteArray> &won, QString &errorText)
{
    // One row per battery in the statement (ON CONFLICT touches a row once): its newest report, the
    // later one of equal times.
    QHash<QByteArray, qsizetype> newest;
    for (qsizetype i = 0; i < records.size(); ++i) {
        auto it = newest.find(records[i].serialKey());
        if (it == newest.end())
            newest.insert(records[i].serialKey(), i);
        else if (records[i].reportTime >= records[*it].reportTime)
            *it = i;
    }
    const QString site = PostgresLiteral::value(db(), m_site);
    QString values;
    values.reserve(newest.size() * 200);
    for (qsizetype i : std::as_const(newest)) {
        const BatteryRecord &record = records[i];
        const QByteArray sender = senderOf(records, senders, i);
        if (!values.isEmpty())
            values += QLatin1Char(',');
        values += QStringLiteral("(%1,%2,%3::bigint,%4,%5)")
                      .arg(PostgresLiteral::bytes(record.serialKey()), PostgresLiteral::bytes(record.toBytes()))
                      .arg(record.reportTime)
                      .arg(site, PostgresLiteral::bytesOrNull(sender));
    }
    QSqlDatabase database = db();
    QSqlQuery query(database);
    // The write lock orders the commits of every server by their change numbers: a reader that has
    // seen a number has seen every smaller one.
    const bool ok = database.transaction()
                    && query.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(PostgresSchema::WriteLock))
                    && query.exec(QStringLiteral(
                                      "INSERT INTO batteries (serial, record, time, site, address, seq) "
                                      "SELECT v.serial, v.record, v.time, v.site, v.address, nextval('battery_changes') "
                                      "FROM (VALUES %1) AS v (serial, record, time, site, address) "
                                      "ON CONFLICT (serial) DO UPDATE SET record = excluded.record, time = excluded.time, "
                                      "site = excluded.site, address = excluded.address, seq = excluded.seq, deleted = false "
                                      "WHERE excluded.time >= batteries.time RETURNING serial")
                                      .arg(values));
    QSet<QByteArray> returned;
    while (ok && query.next())
        returned.insert(query.value(0).toByteArray());
    // In the same transaction: the history holds a point exactly when the report was stored.
    const QString points = m_keepPoints ? pointRows(records, senders) : QString();
    const bool pointsOk = ok && (points.isEmpty()
                          || query.exec(QStringLiteral("INSERT INTO history_points (serial, time, percent, class, capacity, "
                                                       "cycles, address) VALUES %1 ON CONFLICT (serial, time) DO UPDATE "
                                                       "SET percent = excluded.percent, class = excluded.class, capacity = "
                                                       "excluded.capacity, cycles = excluded.cycles, address = "
                                                       "excluded.address")
                                            .arg(points)));
    if (pointsOk && database.commit()) {
        won = std::move(returned);
        return true;
    }
    errorText = query.lastError().isValid() ? query.lastError().text() : database.lastError().text();
    database.rollback();
    return false;
}

void PostgresBatteryStore::spool(const QList<BatteryRecord> &records, const QList<QByteArray> &senders,
                                 SaveOutcome &outcome)
{
    QString error;
    outcome.queued = m_spool.append(records, senders, error);
    outcome.notStored = records.size() - outcome.queued;
    if (outcome.notStored > 0)
        outcome.failure = error;
}

void PostgresBatteryStore::saveReports(const QList<BatteryRecord> &records, const QList<QByteArray> &senders,
                                       SaveOutcome &outcome)
{
    outcome = SaveOutcome();
    outcome.stored = QList<bool>(records.size(), false);
    if (records.isEmpty())
        return;
    // Behind spooled reports a new one waits its turn: stored before them, an older one could win a tie.
    if (!m_connected || m_spool.size() > 0) {
        spool(records, senders, outcome);
        return;
    }
    QSet<QByteArray> won;
    QString error;
    if (!upsert(records, senders, won, error)) {
        QSqlQuery probe(db());
        if (!probe.exec(QStringLiteral("SELECT 1"))) {
            lostConnection(error);
            spool(records, senders, outcome);
            return;
        }
        outcome.notStored = records.size();
        outcome.failure = error;
        return;
    }
    for (qsizetype i = 0; i < records.size(); ++i) {
        outcome.stored[i] = won.contains(records[i].serialKey());
        outcome.superseded += outcome.stored[i] ? 0 : 1;
    }
}

void PostgresBatteryStore::drainSpool(Reports &drained)
{
    // A share of the spool per call, the rest at the next: the event loop is not held for a whole outage.
    // A delete is a transaction of its own, and costs as much as a slice of reports.
    constexpr int DeleteCost = DrainBatch / 100;
    for (int budget = DrainBatch; budget > 0 && m_connected && m_spool.size() > 0;) {
        const QList<OutageSpool::Entry> entries = m_spool.oldest(budget);
        if (entries.isEmpty())
            return;
        QString error;
        if (entries.first().deletedAt != 0) {
            // Done twice after a crash between the two steps, it finds nothing more to delete.
            if (!markDeleted(entries.first().record.serialKey(), entries.first().deletedAt, error)) {
                lostConnection(error);
                return;
            }
            if (!m_spool.removeUpTo(entries.first().id, error)) {
                Log::error(QStringLiteral("The outage spool cannot be emptied: %1").arg(error));
                return;
            }
            budget -= DeleteCost;
            continue;
        }
        // The reports up to the next delete, which must find them stored.
        QList<BatteryRecord> records;
        QList<QByteArray> senders;
        qint64 lastId = 0;
        for (const OutageSpool::Entry &entry : entries) {
            if (entry.deletedAt != 0)
                break;
            records.append(entry.record);
            senders.append(entry.sender);
            lastId = entry.id;
        }
        QSet<QByteArray> won;
        if (!upsert(records, senders, won, error)) {
            lostConnection(error);
            return;
        }
        // Stored twice after a crash between the two steps is the same row again: the newest still wins.
        if (!m_spool.removeUpTo(lastId, error)) {
            Log::error(QStringLiteral("The outage spool cannot be emptied: %1").arg(error));
            return;
        }
        for (qsizetype i = 0; i < records.size(); ++i) {
            if (won.contains(records[i].serialKey())) {
                drained.records.append(records[i]);
                drained.senders.append(senders[i]);
            }
        }
        budget -= int(records.size());
    }
}

bool PostgresBatteryStore::hostAnswers()
{
    // A socket directory is on this machine: it answers at once or not at all.
    if (m_target.host.isEmpty() || m_target.host.startsWith(QLatin1Char('/')))
        return true;
    if (!m_probe) {
        m_probe = std::make_unique<QTcpSocket>();
        m_probe->connectToHost(m_target.host, m_target.port);
        m_probeClock.start();
        return false;
    }
    const QAbstractSocket::SocketState state = m_probe->state();
    if (state == QAbstractSocket::ConnectedState) {
        m_probe.reset();
        return true;
    }
    if (state == QAbstractSocket::UnconnectedState || m_probeClock.elapsed() >= m_target.connectTimeoutSeconds * 1000) {
        m_probe.reset();
        m_retryMs = std::clamp(m_retryMs * 2, 100, MaxRetryMs);
        m_nextAttempt.setRemainingTime(m_retryMs);
    }
    return false;
}

PostgresBatteryStore::CaughtUp PostgresBatteryStore::catchUp(int limit)
{
    CaughtUp caught;
    if (!m_added)
        return caught;
    if (!m_connected) {
        if (!m_nextAttempt.hasExpired() || !hostAnswers())
            return caught;
        QString reason;
        bool reached = false;
        if (!connect(reason, reached)) {
            m_retryMs = std::clamp(m_retryMs * 2, 100, MaxRetryMs);
            m_nextAttempt.setRemainingTime(m_retryMs);
            if (reached)
                Log::error(QStringLiteral("The shared database %1 is reached but cannot be used: %2")
                               .arg(m_target.describe(), reason));
            return caught;
        }
    }
    drainSpool(caught.drained);
    if (!m_connected)
        return caught;
    QSqlQuery query(db());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT record, seq, site, address, deleted FROM batteries WHERE seq > %1 "
                                   "ORDER BY seq LIMIT %2")
                        .arg(m_seenChange)
                        .arg(limit))) {
        lostConnection(query.lastError().text());
        return caught;
    }
    while (query.next()) {
        const BatteryRecord record = BatteryRecord::fromBytes(query.value(0).toByteArray());
        m_seenChange = query.value(1).toLongLong();
        ++caught.rows;
        if (query.value(4).toBool()) {
            caught.removed.append(record.serialKey());
            continue;
        }
        caught.changed.append(record);
        if (query.value(2).toString() != m_site && isValidRecord(record)) {
            const QByteArray address = query.value(3).toByteArray();
            caught.elsewhere.records.append(record);
            // The record holds an IPv4 sender itself; only an IPv6 one goes beside it.
            caught.elsewhere.senders.append(address.size() == 16 ? address : QByteArray());
        }
    }
    return caught;
}

void PostgresBatteryStore::forEachValidReport(const std::function<void(const BatteryRecord &)> &visit)
{
    forEachValidReportPlaced([&visit](const BatteryRecord &record, bool) { visit(record); });
}

void PostgresBatteryStore::forEachValidReportPlaced(const std::function<void(const BatteryRecord &, bool)> &visit)
{
    if (!m_connected)
        return;
    QSqlDatabase database = db();
    QSqlQuery query(database);
    query.setForwardOnly(true);
    // One snapshot for the rows and the change number they reach to: what changes meanwhile is fetched
    // by the next catchUp.
    if (!database.transaction()
        || !query.exec(QStringLiteral("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ"))
        || !query.exec(QStringLiteral("SELECT coalesce(max(seq), 0) FROM batteries")) || !query.next()) {
        Log::error(QStringLiteral("The batteries of the shared database cannot be read: %1").arg(query.lastError().text()));
        database.rollback();
        return;
    }
    m_seenChange = query.value(0).toLongLong();
    if (query.exec(QStringLiteral("SELECT record, site FROM batteries WHERE NOT deleted ORDER BY serial"))) {
        while (query.next()) {
            const QByteArray bytes = query.value(0).toByteArray();
            if (isValidRecord(bytes))
                visit(BatteryRecord::fromBytes(bytes), query.value(1).toString() == m_site);
        }
    } else {
        Log::error(QStringLiteral("The batteries of the shared database cannot be read: %1").arg(query.lastError().text()));
    }
    database.commit();
}

QList<BatteryRecord> PostgresBatteryStore::validReports()
{
    QList<BatteryRecord> reports;
    const qint64 seen = m_seenChange;
    forEachValidReport([&reports](const BatteryRecord &record) { reports.append(record); });
    m_seenChange = seen; // a reader of the whole fleet does not move the fleet model's place
    return reports;
}

bool PostgresBatteryStore::markDeleted(const QByteArray &serial, qint64 upTo, QString &errorText)
{
    // Marked, not removed: the other servers fetch the mark by its change number and drop the battery.
    QSqlDatabase database = db();
    QSqlQuery query(database);
    const QString time = upTo == std::numeric_limits<qint64>::max() ? QStringLiteral("true")
                                                                     : QStringLiteral("time <= %1").arg(upTo);
    const bool ok =
        database.transaction()
        && query.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(PostgresSchema::WriteLock))
        && query.exec(QStringLiteral("UPDATE batteries SET deleted = true, seq = nextval('battery_changes') "
                                     "WHERE serial = %1 AND NOT deleted AND %2")
                          .arg(PostgresLiteral::bytes(serial), time))
        && query.exec(QStringLiteral("DELETE FROM history_points WHERE serial = %1 AND %2")
                          .arg(PostgresLiteral::bytes(serial), time))
        && query.exec(QStringLiteral("DELETE FROM forecasts WHERE serial = %1 AND newest <= %2")
                          .arg(PostgresLiteral::bytes(serial))
                          .arg(upTo))
        && database.commit();
    if (!ok) {
        errorText = query.lastError().isValid() ? query.lastError().text() : database.lastError().text();
        database.rollback();
    }
    return ok;
}

void PostgresBatteryStore::deleteReport(const QByteArray &serial)
{
    // A report newer than the one deleted brings the battery back, as after a delete from vk.db.
    QString error;
    if (m_connected && m_spool.size() == 0 && markDeleted(serial, std::numeric_limits<qint64>::max(), error))
        return;
    if (m_connected && m_spool.size() == 0) {
        QSqlQuery probe(db());
        if (probe.exec(QStringLiteral("SELECT 1"))) {
            Log::error(QStringLiteral("Battery %1 not deleted from the shared database %2: %3")
                           .arg(serialKeyText(serial), m_target.describe(), error));
            return;
        }
        lostConnection(error);
    }
    // Done once the database is back, on what was stored up to now: a report stored later by another
    // site stays.
    if (!m_spool.appendDelete(serial, QDateTime::currentSecsSinceEpoch(), error))
        Log::error(QStringLiteral("Battery %1 not deleted: the shared database %2 cannot be reached and %3")
                       .arg(serialKeyText(serial), m_target.describe(), error));
}

void PostgresBatteryStore::close()
{
    m_spool.close();
    m_connected = false;
    if (m_added) {
        db().close();
        QSqlDatabase::removeDatabase(m_connection);
        m_added = false;
    }
}

QString PostgresBatteryStore::problem() const
{
    if (m_connected)
        return QString();
    if (!m_spool.isOpen())
        return QStringLiteral("the battery database is not open");
    return QStringLiteral("the shared database %1 cannot be reached since %2 (%3): %4 report(s) wait in the local spool")
        .arg(m_target.describe(), m_lostSince.toString(Qt::ISODate), m_lostReason)
        .arg(m_spool.size());
}

} // namespace NVL::Engineering::VK
