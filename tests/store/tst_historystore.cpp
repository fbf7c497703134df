// The history file: points in, thinning and retention, delete, forecasts kept until the history changes,
// and a damaged file set aside.
#include "HistoryStore.h"
#include "LocalDays.h"
#include "RecordingEventSink.h"
#include "SqliteFile.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <limits>
#include <optional>

#include <unistd.h>

#ifdef VK_SQLITE_LIBRARY
#include <sqlite3.h>
#endif

using namespace NVL::Engineering::VK;

namespace {

BatteryRecord report(quint8 serialByte, qint64 time, quint8 percent)
{
    BatteryRecord r;
    r.version = 1;
    r.typeCode = SelfMeasuringTypeB;
    r.serial[7] = serialByte;
    r.healthPercent = percent;
    r.cycleCount = 7;
    r.fullCapacity = 3000;
    r.reportTime = quint32(time);
    return r;
}

// The store keeps what a fit makes; the math itself is the fleet model's (tst_forecast).
const HistoryStore::Fit unfitted = [](const QList<DailyHealth> &) { return Forecast(); };

QList<qint64> timesOf(const QList<HistoryPoint> &points)
{
    QList<qint64> times;
    for (const HistoryPoint &p : points)
        times << p.time;
    return times;
}

} // namespace

class TestHistoryStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // As the server does before its first connection.
    void initTestCase() { SqliteFile::stopMemoryStatistics(); }

    void pointsThinDeleteAndForecasts()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("vk-history.db"));
        const qint64 day = 86400;
        const qint64 base = LocalDays::midnightOf(19000); // 2022-01-08, a local midnight
        // Battery 1: three reports on each of days 0..2, one more on day 3; battery 2: one report, day 0.
        QList<BatteryRecord> reports;
        for (qint64 d = 0; d < 3; ++d) {
            for (qint64 hour : {8, 12, 16})
                reports << report(1, base + d * day + hour * 3600, quint8(95 - d));
        }
        reports << report(1, base + 3 * day + 9 * 3600, 92) << report(2, base + 3600, 88);
        BatteryRecord invalid = report(3, base, 90);
        invalid.version = 9; // stored by vk.db but never listed: no point either
        reports << invalid;
        const QByteArray serial1 = reports.first().serialKey();
        const QByteArray serial2 = report(2, base, 0).serialKey();
        {
            HistoryStore store(path);
            QVERIFY(store.open());
            QCOMPARE(store.addPoints(reports).size(), 2);
            QVERIFY(!store.idOf(invalid.serialKey()));
            const QList<HistoryPoint> points = store.points(*store.idOf(serial1), 0, base + 10 * day);
            QCOMPARE(points.size(), 10);
            QCOMPARE(points.first().percent, 95);
            QCOMPARE(points.first().fullCapacity, 3000);
            QCOMPARE(points.first().cycleCount, 7);
            QCOMPARE(points.first().healthClass, int(Excellent));
            QVERIFY(store.refreshForecasts(store.batteryIds(), unfitted));
            QVERIFY(store.staleForecasts().isEmpty());
            QCOMPARE(int(store.forecast(*store.idOf(serial1))->status), int(Forecast::Status::NotEnoughHistory));
#ifdef VK_SQLITE_LIBRARY
            // No memory counted, so no count's lock shared by every connection of the process.
            sqlite3_int64 counted = -1, highest = -1;
            QCOMPARE(sqlite3_status64(SQLITE_STATUS_MEMORY_USED, &counted, &highest, 0), SQLITE_OK);
            QCOMPARE(counted, sqlite3_int64(0));
#endif
        }
        HistoryStore store(path); // everything above survives a reopen
        QVERIFY(store.open());
        const qint64 id1 = *store.idOf(serial1);
        const qint64 id2 = *store.idOf(serial2);
        store.addPoints({report(2, base + 4 * day, 87)});
        QCOMPARE(store.staleForecasts(), QList<qint64>{id2});

        // Days 1 and 2 thinned to their last point, day 0 gone with the retention, day 3 kept whole.
        QCOMPARE(store.thin({id1, id2}, base + day, base + 3 * day, base + day), 3 + 4 + 1);
        QCOMPARE(timesOf(store.points(id1, 0, base + 10 * day)),
                 (QList<qint64>{base + day + 16 * 3600, base + 2 * day + 16 * 3600, base + 3 * day + 9 * 3600}));
        QCOMPARE(timesOf(store.points(id2, 0, base + 10 * day)), QList<qint64>{base + 4 * day});
        // A second pass over the same days finds nothing more to do.
        QCOMPARE(store.thin({id1, id2}, base + day, base + 3 * day, base + day), 0);

        store.removeBattery(serial1);
        QVERIFY(!store.idOf(serial1));
        QVERIFY(store.points(id1, 0, base + 10 * day).isEmpty());
        QVERIFY(!store.forecast(id1));
        QCOMPARE(store.batteryIds(), QList<qint64>{id2});
    }

    void thinningReachesEveryBatteryOfALongList()
    {
        // More batteries than one statement looks up, the last group short: each keeps the point that stands
        // for its day, its median (the latest of equal ones). Points too go in groups with a short one last; a
        // report of the same second as one before it in the same group replaces it.
        QTemporaryDir dir;
        HistoryStore store(dir.filePath(QStringLiteral("vk-history.db")));
        QVERIFY(store.open());
        const qint64 base = LocalDays::midnightOf(19000);
        QList<BatteryRecord> reports;
        for (int b = 1; b <= 70; ++b) {
            for (qint64 hour : {1, 2, 3})
                reports << report(quint8(b), base + hour * 3600, 90);
        }
        reports.insert(3, report(1, base + 3 * 3600, 80));
        QCOMPARE(store.addPoints(reports).size(), 70);
        const QList<qint64> ids = store.batteryIds();
        QCOMPARE(store.thin(ids, base, base + 86400, base), 2 * 70);
        const qint64 first = *store.idOf(reports.first().serialKey());
        for (const qint64 id : ids)
            QCOMPARE(timesOf(store.points(id, 0, base + 86400)), QList<qint64>{base + (id == first ? 2 : 3) * 3600});
        QCOMPARE(store.points(first, 0, base + 86400).first().percent, 90);
    }

    void olderLayoutKeepsPointsAndRefitsForecasts()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("vk-history.db"));
        {
            // A file as the first layout wrote it: one battery, two points, a forecast of the older rules.
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("layout1"));
            db.setDatabaseName(path);
            QVERIFY(db.open());
            QSqlQuery q(db);
            for (const char *statement :
                 {"CREATE TABLE batteries (serial BLOB PRIMARY KEY, id INTEGER NOT NULL) WITHOUT ROWID",
                  "CREATE TABLE points (id INTEGER NOT NULL, time INTEGER NOT NULL, percent INTEGER NOT NULL, class "
                  "INTEGER NOT NULL, capacity INTEGER NOT NULL, cycles INTEGER NOT NULL, PRIMARY KEY (id, time)) WITHOUT ROWID",
                  "CREATE TABLE forecasts (id INTEGER PRIMARY KEY, newest INTEGER NOT NULL, status INTEGER NOT NULL, day "
                  "INTEGER, earliest INTEGER, latest INTEGER, slope REAL NOT NULL, level REAL NOT NULL, days INTEGER NOT NULL)",
                  "CREATE TABLE meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID",
                  "INSERT INTO meta VALUES ('layout', 1)", "INSERT INTO batteries VALUES (x'0000000000000007', 1)",
                  "INSERT INTO points VALUES (1, 1700000000, 90, 2, 3000, 7), (1, 1700086400, 89, 2, 3000, 8)",
                  "INSERT INTO forecasts VALUES (1, 1700086400, 3, 20000, 19990, 20010, -3.5, 89.0, 40)"})
                QVERIFY2(q.exec(QLatin1String(statement)), qPrintable(q.lastError().text()));
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("layout1"));
        RecordingEventSink log;
        HistoryStore store(path);
        QVERIFY(store.open());
        QCOMPARE(log.count(LogType::Information, QStringLiteral("moved to layout 2")), 1);
        QCOMPARE(store.points(1, 0, std::numeric_limits<qint64>::max()).size(), 2);
        // The stored forecast stays readable until it is fitted again by the newer rules.
        QCOMPARE(store.forecast(1)->day, std::optional<qint64>(20000));
        QCOMPARE(store.staleForecasts(), QList<qint64>{1});
        QVERIFY(store.refreshForecasts({1}, unfitted));
        QCOMPARE(int(store.forecast(1)->status), int(Forecast::Status::NotEnoughHistory));
        QVERIFY(store.staleForecasts().isEmpty());
        // Points of the older layouts have no address and count for no place; newer ones keep theirs (an
        // IPv6 sender's as given, an IPv4 one's from the record).
        QCOMPARE(log.count(LogType::Information, QStringLiteral("moved to layout 3")), 1);
        BatteryRecord v4 = report(7, 1700172800, 88);
        v4.reportAddress = 0x0A010407u;
        const QByteArray v6 = QByteArray::fromHex("20010db8000000000000000000000001");
        QCOMPARE(store.addPoints({v4, report(7, 1700259200, 88)}, nullptr, {QByteArray(), v6}).size(), 1);
        const QList<HistoryPoint> points = store.points(1, 0, std::numeric_limits<qint64>::max());
        QCOMPARE(points.size(), 4);
        QCOMPARE(points[1].address, QByteArray());
        QCOMPARE(points[2].address, QByteArray::fromHex("0a010407"));
        QCOMPARE(points[3].address, v6);
        QVERIFY(store.refreshForecasts({1}, unfitted));
        const ReportPlaces places = store.forecast(1)->places;
        QCOMPARE(places.points, 4);
        QCOMPARE(places.newest, v6);
        QCOMPARE(places.shares.size(), 2);
    }

    void damagedFileIsKeptAsideAndReplaced()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("vk-history.db"));
        const QByteArray garbage(8192, '\x5a');
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(garbage);
        }
        RecordingEventSink log;
        HistoryStore store(path);
        QVERIFY(store.open());
        QCOMPARE(log.count(LogType::Error, QStringLiteral("History file damaged: kept as")), 1);
        QCOMPARE(log.entries.size(), 1);
        const QStringList kept = QDir(dir.path()).entryList({QStringLiteral("vk-history.db.damaged-*")});
        QCOMPARE(kept.size(), 1);
        QFile keptFile(dir.filePath(kept.first()));
        QVERIFY(keptFile.open(QIODevice::ReadOnly));
        QCOMPARE(keptFile.readAll(), garbage);
        QCOMPARE(store.addPoints({report(1, 1700000000, 90)}).size(), 1);
    }

    // Points that cannot be written (a full disk) are a failure the store tells until points are written
    // again; reads that work meanwhile do not end it.
    void writesThatFailAreToldUntilOneWorks()
    {
        QTemporaryDir dir;
        if (geteuid() != 0
            || QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                                           QStringLiteral("size=256k"), QStringLiteral("tmpfs"), dir.path()}) != 0)
            QSKIP("a small file system cannot be mounted here (it takes root)");
        const auto unmount = qScopeGuard([&dir] { QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), dir.path()}); });
        RecordingEventSink log;
        std::optional<HistoryStore> store(std::in_place, dir.filePath(QStringLiteral("vk-history.db")));
        QVERIFY(store->open());
        QVERIFY(store->addPoints({report(1, 1700000000, 90)}).size() == 1 && store->failure().isEmpty());
        // The rest of the room taken by a file of its own.
        QFile filler(dir.filePath(QStringLiteral("filler")));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        while (filler.write(QByteArray(4096, 'f')) == 4096 && filler.flush()) {
        }
        QList<BatteryRecord> many;
        for (int i = 0; i < 2000; ++i)
            many << report(quint8(i), 1700000100 + i, 80);
        QVERIFY(store->addPoints(many).isEmpty());
        QVERIFY2(store->failure().contains(QLatin1String("full")), qPrintable(store->failure()));
        QVERIFY(!store->points(*store->idOf(report(1, 0, 0).serialKey()), 0, std::numeric_limits<qint64>::max()).isEmpty());
        QVERIFY(!store->failure().isEmpty());
        filler.close();
        QVERIFY(filler.remove());
        QCOMPARE(store->addPoints({report(2, 1700000200, 85)}).size(), 1);
        QVERIFY(store->failure().isEmpty());
        store.reset();
    }
};

QTEST_GUILESS_MAIN(TestHistoryStore)
#include "tst_historystore.moc"
