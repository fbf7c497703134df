// The replacement forecast: accuracy on generated wear, every outcome from a table of series, and the
// forecast as the fleet index packs it. Also the fleet's freed memory, given back from threads at once.
#include "ForecastFit.h"
#include "PackedForecast.h"

#include <QProcess>
#include <QTest>

#include <cmath>
#include <random>

using namespace NVL::Engineering::VK;

namespace {

constexpr qint64 LastDay = 20000;

// A year of daily percentages falling `perYear` points a year to `level` on the last day.
QList<DailyHealth> wear(double level, double perYear, int days = 365)
{
    QList<DailyHealth> series;
    for (int d = days - 1; d >= 0; --d)
        series.append({LastDay - d, int(std::lround(level + perYear * d / 365.0))});
    return series;
}

QList<DailyHealth> withPercent(QList<DailyHealth> series, qsizetype index, int percent)
{
    series[index].percent = percent;
    return series;
}

// The newest `days` reports at `percent`, as after a fall.
QList<DailyHealth> fallen(QList<DailyHealth> series, int days, int percent)
{
    for (qsizetype i = series.size() - days; i < series.size(); ++i)
        series[i].percent = percent;
    return series;
}

// A year that fades `olderPerYear`, then from `bendAge` days ago `newerPerYear`, to `level` today.
QList<DailyHealth> bent(double level, double olderPerYear, double newerPerYear, int bendAge)
{
    QList<DailyHealth> series;
    for (int d = 364; d >= 0; --d) {
        const double newer = std::min(d, bendAge) * newerPerYear / 365.0;
        const double older = std::max(d - bendAge, 0) * olderPerYear / 365.0;
        series.append({LastDay - d, int(std::lround(level + newer + older))});
    }
    return series;
}

} // namespace

Q_DECLARE_METATYPE(QList<DailyHealth>)
Q_DECLARE_METATYPE(ReportPlaces)

class TestForecast : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void dateWithinTenPercentOnGeneratedWear()
    {
        // Known crossings between three months and three years out; noise of +-1.5 points and one report
        // in ten wild (anything from 0 to 255).
        std::mt19937 random(20240501);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        const int batteries = 400;
        int close = 0;
        for (int b = 0; b < batteries; ++b) {
            const double level = 84.0 + 11.0 * unit(random);
            const double perYear = 5.0 + (100.0 - level - 6.5) * unit(random);
            const double remaining = (level - 80.0) / perYear * 365.0;
            QList<DailyHealth> series;
            for (int d = 364; d >= 0; --d) {
                double percent = level + perYear * d / 365.0 + 3.0 * unit(random) - 1.5;
                if (unit(random) < 0.1)
                    percent = 255.0 * unit(random);
                series.append({LastDay - d, int(std::lround(percent))});
            }
            const Forecast f = ForecastFit::fromDays(series, 80);
            QCOMPARE(int(f.status), int(Forecast::Status::Date));
            QVERIFY(*f.earliestDay <= *f.day && (!f.latestDay || *f.day <= *f.latestDay));
            close += std::fabs(double(*f.day - LastDay) - remaining) <= 0.1 * remaining ? 1 : 0;
        }
        QVERIFY2(close >= batteries * 95 / 100, qPrintable(QStringLiteral("%1 of %2 within 10 %").arg(close).arg(batteries)));
    }

    void outcomes_data()
    {
        QTest::addColumn<QList<DailyHealth>>("series");
        QTest::addColumn<int>("status");
        QTest::addColumn<qint64>("daysOut"); // -1: no date
        using S = Forecast::Status;
        const QList<DailyHealth> steady = wear(90, 10); // reaches 80 a year after the last day
        QTest::newRow("one year of wear") << steady << int(S::Date) << qint64(365);
        QTest::newRow("a report of 0 % is ignored") << withPercent(steady, 364, 0) << int(S::Date) << qint64(365);
        QTest::newRow("above 100 is left out") << withPercent(withPercent(steady, 364, 180), 10, 255) << int(S::Date)
                                               << qint64(365);
        QTest::newRow("nine days") << wear(90, 10, 9) << int(S::NotEnoughHistory) << qint64(-1);
        QTest::newRow("under a month") << wear(90, 10, 29) << int(S::NotEnoughHistory) << qint64(-1);
        QTest::newRow("new and already poor") << wear(75, 10, 5) << int(S::Now) << qint64(-1);
        QTest::newRow("flat") << wear(95, 0) << int(S::NoDecline) << qint64(-1);
        QTest::newRow("poor") << wear(78, 10) << int(S::Now) << qint64(-1);
        // One low report is noise; three daily reports at a new level are a fall, whatever the year says.
        QTest::newRow("one report under the boundary") << withPercent(wear(82, 10), 364, 78) << int(S::Date) << qint64(73);
        QTest::newRow("two days fallen") << fallen(steady, 2, 60) << int(S::Date) << qint64(365);
        QTest::newRow("three days fallen") << fallen(steady, 3, 60) << int(S::Now) << qint64(-1);
        QTest::newRow("eight days fallen") << fallen(steady, 8, 60) << int(S::Now) << qint64(-1);
        // Wear that sped up is dated by its newer pace, not by the year's average.
        QTest::newRow("bend 120 days ago") << bent(86, 5, 30, 120) << int(S::Date) << qint64(73);
        QTest::newRow("bend 40 days ago") << bent(86, 5, 30, 40) << int(S::Date) << qint64(73);
        QTest::newRow("beyond the cap") << wear(97, 1) << int(S::BeyondCap) << qint64(-1);
    }

    void outcomes()
    {
        QFETCH(QList<DailyHealth>, series);
        QFETCH(int, status);
        QFETCH(qint64, daysOut);
        const Forecast f = ForecastFit::fromDays(series, 80);
        QCOMPARE(int(f.status), status);
        QCOMPARE(f.day.has_value(), daysOut >= 0);
        if (daysOut >= 0)
            QVERIFY2(std::abs(*f.day - LastDay - daysOut) <= std::max<qint64>(3, daysOut / 10),
                     qPrintable(QString::number(*f.day - LastDay)));
    }

    void packedKeepsPlaces_data()
    {
        QTest::addColumn<ReportPlaces>("places");
        const QByteArray v4 = ReportPlaces::ipv4Bytes(0x0A000001);
        const QByteArray v6 = QByteArray::fromHex("20010db8000000000000000000000001");
        ReportPlaces none;
        ReportPlaces home{v4, 12, {{v4, 12}}};
        ReportPlaces two{v4, 360, {{v4, 300}, {ReportPlaces::ipv4Bytes(0xC0A80001), 59}}};
        ReportPlaces without{QByteArray(), 5, {}};
        ReportPlaces many{v6, 100000, {}};
        for (int i = 0; i < ReportPlaces::MaximumShares; ++i)
            many.shares.append({i % 2 ? v6 : ReportPlaces::ipv4Bytes(quint32(0x0A000000 + i)), 1000 - i});
        QTest::newRow("none") << none;
        QTest::newRow("one home") << home;
        QTest::newRow("two addresses") << two;
        QTest::newRow("points without an address") << without;
        QTest::newRow("many, some IPv6") << many;
    }

    // Kept in place or on the heap, copied or moved, the places read back as they were fitted.
    void packedKeepsPlaces()
    {
        QFETCH(ReportPlaces, places);
        Forecast fitted = ForecastFit::fromDays(wear(85, 4), 80);
        fitted.places = places;
        PackedForecast packed;
        packed = fitted;
        PackedForecast copy(packed);
        PackedForecast moved(std::move(packed));
        packed = copy; // assigned anew after its bytes moved away
        for (const PackedForecast *p : {&packed, &copy, &moved}) {
            const Forecast read = **p;
            QCOMPARE(read.places.points, places.points);
            QCOMPARE(read.places.newest, places.newest);
            QCOMPARE(read.places.shares.size(), places.shares.size());
            for (qsizetype i = 0; i < places.shares.size(); ++i) {
                QCOMPARE(read.places.shares[i].address, places.shares[i].address);
                QCOMPARE(read.places.shares[i].points, places.shares[i].points);
            }
            QCOMPARE(read.status, fitted.status);
            QCOMPARE(p->day(), fitted.day);
        }
    }

    // Where malloc is not the C library's own, as under the sanitizers this suite runs with, the first
    // calls set the library's heap up, and two at once crashed the server now and then.
    void freedMemoryIsGivenBackFromThreadsAtOnce()
    {
        for (int run = 0; run < 40; ++run)
            QCOMPARE(QProcess::execute(QStringLiteral(VK_FREED_MEMORY_THREADS_BIN), {}), 0);
    }
};

QTEST_GUILESS_MAIN(TestForecast)
#include "tst_forecast.moc"
