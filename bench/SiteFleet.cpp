#include "SiteFleet.h"

#include "ForecastFit.h"
#include "ForecastTrackRecord.h"
#include "LocalDays.h"
#include "WearTruth.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <random>

namespace NVL::Engineering::VK::Bench {

namespace {

constexpr int Boundary = 80;
// Type B batteries fade faster by nature than type A: wear is judged against a battery's own type.
constexpr double TypeBPace = 1.4;

Cohort cohortOf(double u)
{
    static const std::pair<double, Cohort> mix[] = {
        {0.30, Cohort::SteadyQuiet}, {0.60, Cohort::SteadyNoisy}, {0.68, Cohort::Wild}, {0.73, Cohort::KneeYoung},
        {0.78, Cohort::KneeOld},     {0.83, Cohort::Flat},        {0.89, Cohort::Gaps}, {0.95, Cohort::IntegerSlow},
        {1.00, Cohort::Drop}};
    for (const auto &m : mix) {
        if (u < m.first)
            return m.second;
    }
    return Cohort::SteadyNoisy;
}

} // namespace

QByteArray SiteFleet::chargerAddress(int site, int charger)
{
    const char bytes[] = {10, char(site / 250), char(site % 250), char(charger + 1)};
    return QByteArray(bytes, 4);
}

SiteFleet SiteFleet::make(quint32 seed, int batteries, int siteCount)
{
    SiteFleet f;
    f.today = LocalDays::today();
    const qint64 shift = f.today - WearTruth::Today;
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);

    // The first sites wear faster as a whole, the next have one faulty charger, FaultyPerFactor of each factor.
    const int perFactor = FaultyPerFactor;
    for (int s = 0; s < siteCount; ++s) {
        Site site;
        site.name = QStringLiteral("Site %1").arg(s + 1, 4, 10, QLatin1Char('0'));
        site.chargers = 1 + int(3 * unit(random));
        const int group = s / perFactor;
        if (group < 3) {
            site.wear = Factors[group];
        } else if (group < 6) {
            site.chargers = std::max(site.chargers, 2);
            site.faultyCharger = int(site.chargers * unit(random));
            site.chargerWear = Factors[group - 3];
        }
        f.sites.push_back(site);
        const char network[] = {10, char(s / 250), char(s % 250), 0};
        f.map.add(site.name, QStringLiteral("%1/24").arg(SiteMap::addressText(QByteArray(network, 4))));
    }
    // Sites of 20 to 180 batteries before they are scaled to `batteries` in all.
    std::vector<double> sizes;
    double sum = 0;
    for (int s = 0; s < siteCount; ++s) {
        sizes.push_back(20.0 + 160.0 * unit(random));
        sum += sizes.back();
    }
    std::vector<int> siteOf;
    double due = 0;
    for (int s = 0; s < siteCount; ++s) {
        due += sizes[size_t(s)] * double(batteries) / sum;
        while (double(siteOf.size()) < std::round(due))
            siteOf.push_back(s);
    }
    siteOf.resize(size_t(batteries), siteCount - 1);

    // Twice through the same draws: first the fleet's own track record from an even sample of at most
    // TrackRecordSample batteries, as the server makes it, then every battery fitted with it.
    const std::mt19937 drawn = random;
    ForecastTrackRecord record(Boundary);
    const int sampleStep = std::max(1, batteries / TrackRecordSample);
    ForecastAccuracy accuracy = ForecastAccuracy::prior();
    QElapsedTimer fitting;
    qint64 fitNs = 0;
    for (const bool replaying : {true, false}) {
        random = drawn;
        WearTruth truth(seed + 1, Boundary);
        for (int b = 0; b < batteries; ++b) {
            Truth t;
            t.site = siteOf[size_t(b)];
            const Site &site = f.sites[size_t(t.site)];
            t.charger = int(site.chargers * unit(random));
            t.wear = site.faultyCharger == t.charger ? site.chargerWear : site.wear;
            // A stream of its own: the other draws stay as they were without lone batteries.
            std::mt19937 lone(seed * 7919u + quint32(b));
            if (unit(lone) < LoneShare)
                t.individual = 2.0 + 3.0 * unit(lone);
            const bool typeB = unit(random) < 0.4;
            const int history = 120 + int(280 * unit(random));
            const Cohort cohort = cohortOf(unit(random));
            TrueBattery battery = truth.wearing(cohort, t.wear * t.individual * (typeB ? TypeBPace : 1.0), history);
            t.pace = battery.pace;
            t.typeB = typeB;
            t.knee = cohort == Cohort::KneeYoung || cohort == Cohort::KneeOld;
            // Some stopped reporting: three in a hundred long enough to be silent, two in a hundred not yet.
            const double quiet = unit(random);
            t.quietDays = quiet < 0.03 ? 15 + int(75 * unit(random)) : quiet < 0.05 ? 1 + int(12 * unit(random)) : 0;
            const double awayDraw = unit(random), awayShareDraw = unit(random);
            QList<DailyHealth> days;
            for (const DailyHealth &d : battery.days) {
                if (d.day <= WearTruth::Today - t.quietDays)
                    days.append({d.day + shift, d.percent});
            }
            if (replaying) {
                if (b % sampleStep == 0)
                    record.replay(days);
                continue;
            }
            if (battery.crossing)
                t.crossingDay = f.today + *battery.crossing;
            fitting.start();
            Forecast forecast = ForecastFit::fromDays(days, Boundary, accuracy);
            fitNs += fitting.nsecsElapsed();

            // Most of its reports at its home charger; the rest at chargers elsewhere.
            const QByteArray home = chargerAddress(t.site, t.charger);
            ReportPlaces &places = forecast.places;
            const qint64 newest = days.isEmpty() ? f.today : days.constLast().day;
            int away = 0;
            const double awayShare = awayDraw < 0.8 ? 0.0 : 0.3 * awayShareDraw;
            QHash<QByteArray, int> visits;
            std::mt19937 visiting(seed ^ quint32(b));
            for (const DailyHealth &d : days) {
                if (d.day <= newest - ReportPlaces::SpanDays)
                    continue;
                ++places.points;
                if (unit(visiting) < awayShare) {
                    const int other = int(siteCount * unit(visiting));
                    ++visits[chargerAddress(other, 0)];
                    ++away;
                }
            }
            places.shares.append({home, places.points - away});
            for (auto it = visits.cbegin(); it != visits.cend() && places.shares.size() < ReportPlaces::MaximumShares; ++it)
                places.shares.append({it.key(), it.value()});
            places.newest = home;

            BatteryRecord record;
            record.version = 1;
            record.typeCode = typeB ? SelfMeasuringTypeB : SelfMeasuringTypeA;
            for (int i = 0; i < 4; ++i)
                record.serial[4 + i] = quint8(b >> (8 * (3 - i)));
            record.serial[0] = 0x5B;
            record.healthPercent = quint8(days.isEmpty() ? 90 : std::clamp(days.constLast().percent, 0, 255));
            record.reportTime = quint32(LocalDays::midnightOf(newest) + 12 * 3600);
            record.reportAddress = quint32(10) << 24 | quint32(t.site / 250) << 16 | quint32(t.site % 250) << 8
                | quint32(t.charger + 1);
            f.fleet.update(record);
            f.fleet.setForecast(record.serialKey(), forecast);
            f.truths.push_back(t);
        }
        if (replaying)
            accuracy = record.accuracy();
    }
    f.fitSeconds = double(fitNs) / 1e9;
    return f;
}

} // namespace NVL::Engineering::VK::Bench
