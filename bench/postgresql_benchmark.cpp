// Ingest into a shared PostgreSQL database against SQLite, in one run on one machine: the real server
// program with vk.db, with PostgreSQL (one server, then two servers on one database), and PostgreSQL's
// own batched-upsert rate at the same durability (a full sync at every commit), with the ratios.
// Starts its own PostgreSQL cluster (Debian's postgresql package) on 127.0.0.1.

#include "BenchOutput.h"
#include "BenchRecords.h"
#include "BenchServer.h"
#include "PostgresServer.h"
#include "TcpIngest.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <future>

using namespace NVL::Engineering::VK;
using namespace NVL::Engineering::VK::Bench;

namespace {

constexpr int ServerStartMs = 30000;
constexpr int IngestAllowanceMs = 120000;
constexpr int UpsertBatch = 4096; // the most the server commits at once
constexpr double TargetBatchedShare = 0.5;

struct Rate
{
    qint64 reports = 0;
    qint64 nanoseconds = 0;
    double perSecond() const { return nanoseconds > 0 ? double(reports) * 1e9 / double(nanoseconds) : 0; }
};

bool startServer(BenchServer &server, const QByteArray &store)
{
    if (!server.writePortSetting(BenchServer::freePort()))
        return false;
    QFile cfg(server.dataFolder() + QStringLiteral("/vk.cfg"));
    return cfg.open(QIODevice::Append) && cfg.write("[http]\nlisten=\n[history]\nenabled=false\n" + store) > 0
           && (cfg.close(), server.start(ServerStartMs));
}

// Distinct batteries over one connection per server, the servers at once; the span of the slowest.
std::optional<Rate> ingest(const QList<BenchServer *> &servers, quint32 count)
{
    std::vector<std::future<TcpIngest::Result>> runs;
    const QDeadlineTimer deadline(IngestAllowanceMs);
    for (int i = 0; i < servers.size(); ++i) {
        const quint16 port = servers[i]->port();
        runs.push_back(std::async(std::launch::async, [port, i, count, deadline] {
            return TcpIngest::run(port, 1, SerialTag::Tcp, quint32(i) * count, count, deadline);
        }));
    }
    Rate rate;
    for (auto &run : runs) {
        const TcpIngest::Result result = run.get();
        if (!result.ok || result.deadlineHit) {
            fail(QStringLiteral("ingest: ") + result.error);
            return std::nullopt;
        }
        rate.reports += result.confirmed;
        rate.nanoseconds = std::max(rate.nanoseconds, result.nanoseconds);
    }
    return rate;
}

// PostgreSQL alone: the statement the server sends, batches of distinct batteries, one commit each.
std::optional<Rate> batchedUpserts(PostgresServer &pg, quint32 count)
{
    QSqlDatabase db = pg.connect(QStringLiteral("anchor"), QStringLiteral("bench-anchor"));
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("CREATE TABLE batteries (serial bytea PRIMARY KEY, record bytea NOT NULL, time bigint "
                                   "NOT NULL, site text NOT NULL, address bytea, seq bigint NOT NULL, deleted boolean NOT NULL DEFAULT false)"))
        || !query.exec(QStringLiteral("CREATE SEQUENCE battery_changes"))
        || !query.exec(QStringLiteral("CREATE INDEX batteries_seq ON batteries (seq)"))) {
        fail(QStringLiteral("anchor: ") + query.lastError().text());
        return std::nullopt;
    }
    QElapsedTimer timer;
    timer.start();
    for (quint32 first = 0; first < count; first += UpsertBatch) {
        QString values;
        for (quint32 i = first; i < std::min(count, first + UpsertBatch); ++i) {
            const BatteryRecord record = benchRecord(SerialTag::Raw, i);
            values += QStringLiteral("%1('\\x%2'::bytea,'\\x%3'::bytea,%4::bigint,'anchor',NULL::bytea)")
                          .arg(values.isEmpty() ? QString() : QStringLiteral(","),
                               QString::fromLatin1(record.serialKey().toHex()),
                               QString::fromLatin1(record.toBytes().toHex()))
                          .arg(i);
        }
        if (!db.transaction()
            || !query.exec(QStringLiteral("INSERT INTO batteries (serial, record, time, site, address, seq) SELECT v.*, "
                                          "nextval('battery_changes') FROM (VALUES %1) AS v ON CONFLICT (serial) DO UPDATE "
                                          "SET record = excluded.record, time = excluded.time, site = excluded.site, "
                                          "address = excluded.address, seq = excluded.seq, deleted = false "
                                          "WHERE excluded.time >= batteries.time RETURNING serial")
                                   .arg(values))
            || !db.commit()) {
            fail(QStringLiteral("anchor: ") + query.lastError().text());
            return std::nullopt;
        }
    }
    return Rate{qint64(count), timer.nsecsElapsed()};
}

QString perSecond(const Rate &rate)
{
    return QString::number(rate.perSecond(), 'f', 0) + QStringLiteral(" reports/s");
}

QString ratio(const Rate &a, const Rate &b)
{
    return QString::number(b.perSecond() > 0 ? a.perSecond() / b.perSecond() : 0, 'f', 2);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    QCommandLineOption batteriesOption(QStringLiteral("batteries"), QStringLiteral("Reports per run (default 100000)."),
                                       QStringLiteral("n"), QStringLiteral("100000"));
    parser.addOption(batteriesOption);
    parser.process(app);
    const quint32 count = parser.value(batteriesOption).toUInt();

    PostgresServer pg;
    if (!pg.problem().isEmpty() || !pg.start(true))
        return fail(QStringLiteral("PostgreSQL cannot be started: ") + pg.problem());
    for (const char *name : {"one", "two", "anchor"})
        if (!pg.createDatabase(QString::fromLatin1(name)))
            return fail(QStringLiteral("PostgreSQL: the benchmark's databases cannot be made"));

    QTemporaryDir folder;
    say(QStringLiteral("%1 distinct batteries per run, one TCP connection per server, history off").arg(count));
    BenchServer sqlite(QStringLiteral(VK_VOLTKEEP_BIN), folder.filePath(QStringLiteral("sqlite")));
    if (!startServer(sqlite, QByteArray()))
        return fail(QStringLiteral("the SQLite server did not start"), &sqlite);
    const auto sqliteRate = ingest({&sqlite}, count);
    sqlite.stop();
    if (!sqliteRate)
        return 1;
    say(QStringLiteral("SQLite, one server: ") + perSecond(*sqliteRate));

    BenchServer alone(QStringLiteral(VK_VOLTKEEP_BIN), folder.filePath(QStringLiteral("one")));
    if (!startServer(alone, pg.storeSection(QStringLiteral("one"))))
        return fail(QStringLiteral("the PostgreSQL server did not start"), &alone);
    const auto oneRate = ingest({&alone}, count);
    alone.stop();
    if (!oneRate)
        return 1;
    say(QStringLiteral("PostgreSQL, one server: ") + perSecond(*oneRate));

    BenchServer north(QStringLiteral(VK_VOLTKEEP_BIN), folder.filePath(QStringLiteral("north")));
    BenchServer south(QStringLiteral(VK_VOLTKEEP_BIN), folder.filePath(QStringLiteral("south")));
    if (!startServer(north, pg.storeSection(QStringLiteral("two"))) || !startServer(south, pg.storeSection(QStringLiteral("two"))))
        return fail(QStringLiteral("the two PostgreSQL servers did not start"), &north);
    const auto twoRate = ingest({&north, &south}, count / 2);
    north.stop();
    south.stop();
    if (!twoRate)
        return 1;
    say(QStringLiteral("PostgreSQL, two servers on one database: ") + perSecond(*twoRate));

    const auto anchor = batchedUpserts(pg, count);
    if (!anchor)
        return 1;
    say(QStringLiteral("PostgreSQL's own batched upserts (%1 a commit, fsync and synchronous_commit on): ")
            .arg(UpsertBatch)
        + perSecond(*anchor));

    say(QStringLiteral("PostgreSQL one server / SQLite: %1").arg(ratio(*oneRate, *sqliteRate)));
    say(QStringLiteral("PostgreSQL two servers / SQLite: %1").arg(ratio(*twoRate, *sqliteRate)));
    const bool met = oneRate->perSecond() >= TargetBatchedShare * anchor->perSecond();
    say(QStringLiteral("PostgreSQL one server / PostgreSQL's batched upserts: %1 (target >= %2) %3")
            .arg(ratio(*oneRate, *anchor))
            .arg(TargetBatchedShare)
            .arg(verdict(met)));
    say(QStringLiteral("PostgreSQL two servers / PostgreSQL's batched upserts: %1").arg(ratio(*twoRate, *anchor)));
    return 0;
}
