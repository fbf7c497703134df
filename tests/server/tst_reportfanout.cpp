// The intake of a stored report without the server process: every subscriber (fleet model, history,
// health alerts) gets what the store took, a delete leaves them all, and an alert is raised exactly when
// a battery's class fell against the record its report replaced, in the fleet or earlier in its group;
// the forecast the history fits from the points comes back into the fleet model.
#include "FleetIndex.h"
#include "HistoryKeeper.h"
#include "NotificationTestSupport.h"
#include "ReportFanOut.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>
#include <numeric>

using namespace NVL::Engineering::VK;
using namespace NotificationTest;

class TestReportFanOut : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void subscribersGetWhatWasStored_data()
    {
        // Percentages reported in turn for one battery: each list is one group stored at once.
        QTest::addColumn<QList<QList<int>>>("groups");
        QTest::addColumn<int>("alerts");
        QTest::newRow("new battery") << QList<QList<int>>{{90}} << 0;
        QTest::newRow("class fell") << QList<QList<int>>{{90}, {70}} << 1;
        QTest::newRow("fell within one group") << QList<QList<int>>{{90, 70}} << 1;
        QTest::newRow("rose") << QList<QList<int>>{{70}, {95}} << 0;
        QTest::newRow("same class, rose and fell again in one group") << QList<QList<int>>{{84}, {83, 95, 85}} << 1;
    }

    void subscribersGetWhatWasStored()
    {
        QFETCH(QList<QList<int>>, groups);
        QFETCH(int, alerts);
        QTemporaryDir dir;
        FleetIndex fleet;
        HistoryKeeper history(HistorySettings{}, dir.filePath(QStringLiteral("vk-history.db")));
        ReportFanOut fanOut(fleet);
        fanOut.setHistory(&history);
        QList<BatteryRecord> alerted;
        fanOut.setHealthFell([&alerted](const BatteryRecord &r) { alerted.append(r); });
        QSignalSpy written(&history, &HistoryKeeper::pointsWritten);
        QSignalSpy fitted(&history, &HistoryKeeper::forecastsFitted);

        int points = 0;
        qint64 time = 1765250000;
        for (const QList<int> &group : groups) {
            QList<BatteryRecord> reports;
            for (const int percent : group) {
                BatteryRecord r = battery('F', 1, quint8(percent));
                r.reportTime = quint32(time += 86400);
                reports.append(r);
            }
            fanOut.stored(reports, QList<QByteArray>(reports.size(), QByteArray::fromHex("0a010203")),
                          fanOut.replacedBy(reports));
            points += int(reports.size());
        }
        const BatteryRecord newest = battery('F', 1, quint8(groups.constLast().constLast()));
        const FleetIndex::Entry *entry = fleet.find(newest.serialKey());
        QVERIFY(entry);
        QCOMPARE(entry->percent, quint8(groups.constLast().constLast()));
        QCOMPARE(alerted.size(), alerts);
        QTRY_VERIFY(std::accumulate(written.cbegin(), written.cend(), 0,
                                    [](int sum, const QList<QVariant> &s) { return sum + s.at(0).toInt(); }) == points);
        QTRY_VERIFY(!fitted.isEmpty());
        const auto forecast = fitted.constLast().at(0).value<QHash<QByteArray, Forecast>>().value(newest.serialKey());
        QVERIFY(entry->forecast.has_value());
        QCOMPARE(entry->forecast.status(), forecast.status);
        const auto kept = history.history(newest.serialKey(), 0, std::numeric_limits<qint64>::max());
        QVERIFY(kept);
        QVERIFY(!kept->isEmpty());

        // A delete leaves every subscriber.
        fanOut.removed(newest.serialKey());
        QVERIFY(!fleet.find(newest.serialKey()));
        const auto left = history.history(newest.serialKey(), 0, std::numeric_limits<qint64>::max());
        QVERIFY(!left || left->isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestReportFanOut)
#include "tst_reportfanout.moc"
