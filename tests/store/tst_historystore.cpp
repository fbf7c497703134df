// The history file: points in, thinning and retention, delete, forecasts kept until the history changes,
// and a damaged file set aside.
#include "HistoryStore.h"
#include "LocalDays.h"
#include "RecordingEventSink.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

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
            QVERIFY(store.refreshForecasts(store.batteryIds(), 80));
            QVERIFY(store.staleForecasts().isEmpty());
            QCOMPARE(int(store.forecast(*store.idOf(serial1))->status), int(Forecast::Status::NotEnoughHistory));
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
};

QTEST_GUILESS_MAIN(TestHistoryStore)
#include "tst_historystore.moc"
