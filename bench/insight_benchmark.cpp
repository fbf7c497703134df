// Insight against a fleet of known truth spread over charging sites (SiteFleet): sites and chargers that
// wear batteries faster by known factors found or missed, normal ones flagged, the purchase plan's 3- and
// 6-month totals against the batteries that truly reach the boundary, the silent list against the
// batteries that truly stopped, and what the analysis costs: the event loop's share (the snapshot) and
// the worker's, and the longest turn of the event loop while the server's keeper runs it.

#include "BenchOutput.h"
#include "InsightKeeper.h"
#include "InsightResult.h"
#include "SiteFleet.h"
#include "WearAnalysis.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>

using namespace NVL::Engineering::VK;
using namespace NVL::Engineering::VK::Bench;

namespace {

QString share(qsizetype part, qsizetype whole)
{
    return whole == 0 ? QStringLiteral("-")
                      : QStringLiteral("%1/%2 = %3 %").arg(part).arg(whole).arg(QString::number(100.0 * double(part) / double(whole), 'f', 1));
}

int batteryIndex(const BatteryRecord &record)
{
    return int(quint32(record.serial[4]) << 24 | quint32(record.serial[5]) << 16 | quint32(record.serial[6]) << 8
               | quint32(record.serial[7]));
}

// The largest gap between ticks of a 1 ms timer while the keeper takes its snapshot and the worker
// analyses it: how long a radio's reply could have waited for insight.
qint64 longestTurnWhileKept(const FleetIndex &fleet, const InsightSettings &settings, qint64 *firstResultMs,
                            qint64 *sliceMs)
{
    InsightKeeper keeper(fleet, settings);
    QElapsedTimer sinceTick;
    qint64 longest = 0;
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longest = std::max(longest, sinceTick.restart());
    });
    QEventLoop loop;
    QObject::connect(&keeper, &InsightKeeper::computed, &loop, &QEventLoop::quit);
    QElapsedTimer total;
    ticker.start();
    QTimer::singleShot(20, [&] {
        total.start();
        sinceTick.restart();
        keeper.refresh();
    });
    sinceTick.start();
    loop.exec();
    *firstResultMs = total.elapsed();
    *sliceMs = keeper.snapshotSliceMs();
    return std::max(longest, sinceTick.elapsed());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vk_bench_insight"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Fleet insight against a fleet of known truth over charging sites."));
    parser.addHelpOption();
    const QCommandLineOption countOption(QStringLiteral("batteries"), QStringLiteral("Batteries (100000)."),
                                         QStringLiteral("n"), QStringLiteral("100000"));
    const QCommandLineOption sitesOption(QStringLiteral("sites"), QStringLiteral("Sites (1000)."), QStringLiteral("n"),
                                         QStringLiteral("1000"));
    const QCommandLineOption seedOption(QStringLiteral("seed"), QStringLiteral("Generator seed (1)."), QStringLiteral("n"),
                                        QStringLiteral("1"));
    parser.addOptions({countOption, sitesOption, seedOption});
    parser.process(app);
    const int count = std::max(1000, parser.value(countOption).toInt());
    const int siteCount = std::max(200, parser.value(sitesOption).toInt());

    QElapsedTimer clock;
    clock.start();
    const SiteFleet fleet = SiteFleet::make(parser.value(seedOption).toUInt(), count, siteCount);
    say(QStringLiteral("Fleet: %1 batteries over %2 sites, made in %3 s (forecast fits %4 s)")
            .arg(count).arg(siteCount).arg(QString::number(double(clock.elapsed()) / 1000.0, 'f', 1),
                                           QString::number(fleet.fitSeconds, 'f', 1)));
    InsightSettings settings;
    settings.sites = fleet.map;

    clock.restart();
    const FleetSnapshot snapshot = FleetSnapshot::of(fleet.fleet);
    const qint64 snapshotMs = clock.elapsed();
    clock.restart();
    const InsightResult result = InsightResult::of(snapshot, settings);
    const qint64 analysisMs = clock.elapsed();
    clock.restart();
    WearAnalysis::of(snapshot, settings.sites);
    const qint64 wearMs = clock.elapsed();

    // Wear: sites found by factor, chargers found by factor, normal sites and chargers flagged.
    QHash<QString, const SiteWear *> byName;
    for (const SiteWear &s : result.wear.sites)
        byName.insert(s.site.name, &s);
    const auto flaggedAddress = [&](int site, int charger) {
        const SiteWear *s = byName.value(fleet.sites[size_t(site)].name);
        if (!s)
            return false;
        const QString name = SiteMap::addressText(SiteFleet::chargerAddress(site, charger));
        return std::any_of(s->addresses.cbegin(), s->addresses.cend(), [&](const WearGroup &g) { return g.name == name && g.flagged; });
    };
    say(QStringLiteral("\nWear by place (flag: rank score >= %1, one-sided false-alarm rate %2 per place; >= %3 batteries; "
                       "effect range reaching %4x the type's)")
            .arg(WearReport::FlagScore).arg(WearReport::FalseAlarmRate).arg(WearReport::MinimumBatteries).arg(WearReport::MinimumEffect));
    // The target holds for sites of at least 20 batteries (all of the generator's have 120 days or more).
    std::vector<int> homed(size_t(siteCount), 0);
    for (const SiteFleet::Truth &t : fleet.truths)
        ++homed[size_t(t.site)];
    for (int f = 0; f < 3; ++f) {
        qsizetype sites = 0, sitesFlagged = 0, covered = 0, chargers = 0, chargersFlagged = 0, chargersBig = 0, chargersBigFlagged = 0;
        qsizetype bigSites = 0, bigSitesFlagged = 0;
        QStringList missed;
        std::vector<double> effects;
        for (int s = 0; s < siteCount; ++s) {
            const SiteFleet::Site &site = fleet.sites[size_t(s)];
            if (site.wear == SiteFleet::Factors[f]) {
                ++sites;
                const SiteWear *found = byName.value(site.name);
                const bool flagged = found && found->site.flagged;
                sitesFlagged += flagged ? 1 : 0;
                if (homed[size_t(s)] >= 20) {
                    ++bigSites;
                    bigSitesFlagged += flagged ? 1 : 0;
                }
                if (!flagged && found)
                    missed << QStringLiteral("%1 of %2 compared, score %3, effect %4")
                                  .arg(found->site.compared).arg(homed[size_t(s)])
                                  .arg(QString::number(found->site.score, 'f', 2), QString::number(found->site.effect, 'f', 2));
                if (found && !std::isnan(found->site.effect)) {
                    effects.push_back(found->site.effect);
                    covered += found->site.effectLow <= site.wear && site.wear <= found->site.effectHigh ? 1 : 0;
                }
            }
            if (site.faultyCharger >= 0 && site.chargerWear == SiteFleet::Factors[f]) {
                ++chargers;
                const bool flagged = flaggedAddress(s, site.faultyCharger);
                chargersFlagged += flagged ? 1 : 0;
                const SiteWear *found = byName.value(site.name);
                const QString name = SiteMap::addressText(SiteFleet::chargerAddress(s, site.faultyCharger));
                for (const WearGroup &g : found ? found->addresses : QList<WearGroup>()) {
                    if (g.name == name && g.compared >= 20) {
                        ++chargersBig;
                        chargersBigFlagged += flagged ? 1 : 0;
                    }
                }
            }
        }
        std::sort(effects.begin(), effects.end());
        say(QStringLiteral("  %1x: sites flagged %2, of those with >= 20 batteries %7 (median effect %3, truth inside the range %4); "
                           "faulty chargers flagged %5, of those with >= 20 batteries %6")
                .arg(SiteFleet::Factors[f])
                .arg(share(sitesFlagged, sites),
                     effects.empty() ? QStringLiteral("-") : QString::number(effects[effects.size() / 2], 'f', 2),
                     share(covered, qsizetype(effects.size())), share(chargersFlagged, chargers),
                     share(chargersBigFlagged, chargersBig), share(bigSitesFlagged, bigSites)));
        if (!missed.isEmpty())
            say(QStringLiteral("       missed: %1").arg(missed.join(QStringLiteral("; "))));
    }
    qsizetype normalSites = 0, normalFlagged = 0, normalChargers = 0, normalChargersFlagged = 0, normalCovered = 0;
    std::vector<double> normalEffects;
    for (int s = 0; s < siteCount; ++s) {
        const SiteFleet::Site &site = fleet.sites[size_t(s)];
        for (int c = 0; c < site.chargers; ++c) {
            if (site.wear == 1.0 && c != site.faultyCharger) {
                ++normalChargers;
                normalChargersFlagged += flaggedAddress(s, c) ? 1 : 0;
            }
        }
        if (site.wear != 1.0 || site.faultyCharger >= 0)
            continue;
        ++normalSites;
        const SiteWear *found = byName.value(site.name);
        normalFlagged += found && found->site.flagged ? 1 : 0;
        if (found && found->site.compared >= WearReport::MinimumBatteries) {
            normalEffects.push_back(found->site.effect);
            normalCovered += found->site.effectLow <= 1.0 && 1.0 <= found->site.effectHigh ? 1 : 0;
        }
    }
    std::sort(normalEffects.begin(), normalEffects.end());
    say(QStringLiteral("  normal sites flagged %1; normal chargers flagged %2; normal sites' median effect %3, 1.0 inside the range %4")
            .arg(share(normalFlagged, normalSites), share(normalChargersFlagged, normalChargers),
                 normalEffects.empty() ? QStringLiteral("-") : QString::number(normalEffects[normalEffects.size() / 2], 'f', 3),
                 share(normalCovered, qsizetype(normalEffects.size()))));
    // Marked against the truth: a battery wearing at least twice as fast as its type's usual, by its place
    // or on its own. The fleet's batteries are in the index's order, as the truths are.
    {
        QSet<quint64> marked;
        for (const SiteWear &s : result.wear.sites) {
            for (const WearBattery &b : s.batteries) {
                if (b.fasterThanType)
                    marked.insert(b.key);
            }
        }
        // Truly faster: losing today at least twice the median pace of its type and shape (past a knee or not).
        std::map<int, std::vector<double>> paces;
        const auto group = [](const SiteFleet::Truth &t) { return int(t.typeB) * 2 + int(t.knee); };
        for (const SiteFleet::Truth &t : fleet.truths)
            paces[group(t)].push_back(t.pace);
        std::map<int, double> medians;
        for (auto &[g, list] : paces) {
            std::sort(list.begin(), list.end());
            medians[g] = list[list.size() / 2];
        }
        qsizetype truthFaster = 0, found = 0;
        for (size_t i = 0; i < fleet.truths.size(); ++i) {
            const bool faster = fleet.truths[i].pace >= 2.0 * medians[group(fleet.truths[i])];
            truthFaster += faster ? 1 : 0;
            found += faster && marked.contains(FleetIndex::orderKey(fleet.fleet.entries()[i].record.serial)) ? 1 : 0;
        }
        say(QStringLiteral("  fading faster than its type: %1 batteries marked; truly twice its type and shape's median pace "
                           "or more %2: recall %3, precision %4")
                .arg(marked.size()).arg(truthFaster).arg(share(found, truthFaster), share(found, qsizetype(marked.size()))));
    }

    // The plan against the truth: batteries whose truth is at or under the boundary before each month's end.
    const auto ends = PurchasePlan::monthEnds(snapshot.today);
    say(QStringLiteral("\nPurchase plan (expected, 95 % range) against the truth:"));
    for (const int months : {3, 6, 12}) {
        qsizetype truth = 0;
        for (const SiteFleet::Truth &t : fleet.truths)
            truth += t.crossingDay && *t.crossingDay < ends[size_t(months - 1)] ? 1 : 0;
        const PurchasePlan::Cell &cell = result.plan.total.byEnd[size_t(months - 1)];
        say(QStringLiteral("  %1 months (to %2): plan %3 (%4-%5), truth %6 (%8 the range), error %7 %")
                .arg(months, 2)
                .arg(QDate(1970, 1, 1).addDays(ends[size_t(months - 1)] - 1).toString(Qt::ISODate))
                .arg(QString::number(cell.expected, 'f', 0), QString::number(cell.low, 'f', 0), QString::number(cell.high, 'f', 0))
                .arg(truth)
                .arg(QString::number(truth ? 100.0 * (cell.expected - double(truth)) / double(truth) : 0.0, 'f', 1))
                .arg(cell.low <= double(truth) && double(truth) <= cell.high ? QStringLiteral("inside") : QStringLiteral("OUTSIDE")));
    }
    // Every month and every span from today: how often the range holds the truth.
    int monthsInside = 0, spansInside = 0;
    double monthError = 0;
    for (int m = 0; m < PurchasePlan::Months; ++m) {
        const qint64 from = m == 0 ? std::numeric_limits<qint64>::min() : ends[size_t(m - 1)];
        qsizetype inMonth = 0, bySpan = 0;
        for (const SiteFleet::Truth &t : fleet.truths) {
            inMonth += t.crossingDay && *t.crossingDay >= from && *t.crossingDay < ends[size_t(m)] ? 1 : 0;
            bySpan += t.crossingDay && *t.crossingDay < ends[size_t(m)] ? 1 : 0;
        }
        const PurchasePlan::Cell &month = result.plan.total.months[size_t(m)];
        const PurchasePlan::Cell &span = result.plan.total.byEnd[size_t(m)];
        monthsInside += month.low <= double(inMonth) && double(inMonth) <= month.high ? 1 : 0;
        spansInside += span.low <= double(bySpan) && double(bySpan) <= span.high ? 1 : 0;
        if (m > 0)
            monthError += std::fabs(month.expected - double(inMonth)) / (PurchasePlan::Months - 1);
    }
    say(QStringLiteral("  truth inside the range: %1 of %2 months, %3 of %2 spans from today; mean miss of a month after the "
                       "first %4 batteries")
            .arg(monthsInside).arg(PurchasePlan::Months).arg(spansInside).arg(QString::number(monthError, 'f', 0)));
    qsizetype truthNow = 0;
    for (const SiteFleet::Truth &t : fleet.truths)
        truthNow += t.crossingDay && *t.crossingDay <= snapshot.today ? 1 : 0;
    say(QStringLiteral("  at or under the boundary today: plan %1 (counted in the first month), truth %2; without a forecast: %3")
            .arg(result.plan.total.poorNow).arg(truthNow).arg(result.plan.total.withoutForecast));
    for (const int months : {3, 6}) {
        qsizetype truth = 0;
        for (const SiteFleet::Truth &t : fleet.truths)
            truth += t.crossingDay && *t.crossingDay > snapshot.today && *t.crossingDay < ends[size_t(months - 1)] ? 1 : 0;
        const double plan = result.plan.total.byEnd[size_t(months - 1)].expected - result.plan.total.poorNow;
        say(QStringLiteral("  %1 months, only those still above the boundary today: plan %2, truth %3, error %4 %")
                .arg(months).arg(QString::number(plan, 'f', 0)).arg(truth)
                .arg(QString::number(truth ? 100.0 * (plan - double(truth)) / double(truth) : 0.0, 'f', 1)));
    }

    // Silent: the list against the batteries that truly stopped 14 days ago or more.
    std::set<int> listed, truly;
    for (const SilentBattery &s : result.silent)
        listed.insert(batteryIndex(s.record));
    for (size_t i = 0; i < fleet.truths.size(); ++i) {
        if (fleet.truths[i].quietDays >= result.silentDays)
            truly.insert(int(i));
    }
    std::vector<int> missed, extra;
    std::set_difference(truly.begin(), truly.end(), listed.begin(), listed.end(), std::back_inserter(missed));
    std::set_difference(listed.begin(), listed.end(), truly.begin(), truly.end(), std::back_inserter(extra));
    say(QStringLiteral("\nSilent (%1 days): listed %2, truly silent %3, missed %4, listed wrongly %5: %6")
            .arg(result.silentDays).arg(listed.size()).arg(truly.size()).arg(missed.size()).arg(extra.size())
            .arg(missed.empty() && extra.empty() ? QStringLiteral("exact") : QStringLiteral("NOT exact")));

    qint64 firstResultMs = 0, sliceMs = 0;
    const qint64 longestTurn = longestTurnWhileKept(fleet.fleet, settings, &firstResultMs, &sliceMs);
    say(QStringLiteral("\nCompute at %1 batteries, %2 sites: snapshot %3 ms (the server takes it in slices of %4 entries, "
                       "longest slice %5 ms), analysis on the worker %6 ms (wear %7 ms); from the start of a refresh to "
                       "its result %8 ms; longest event-loop turn meanwhile %9 ms")
            .arg(count).arg(siteCount).arg(snapshotMs).arg(InsightKeeper::SliceEntries).arg(sliceMs).arg(analysisMs)
            .arg(wearMs).arg(firstResultMs).arg(longestTurn));
    return 0;
}
