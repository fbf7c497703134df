#include "WearAnalysis.h"

#include "LeastSquares.h"

#include <QHash>

#include <algorithm>
#include <cmath>
#include <vector>

namespace NVL::Engineering::VK {

namespace {

double medianOfSorted(const std::vector<double> &sorted)
{
    if (sorted.empty())
        return NAN;
    const size_t mid = sorted.size() / 2;
    return sorted.size() % 2 == 1 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2.0;
}

double medianOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return medianOfSorted(values);
}

// The standard normal quantile from tables: linear in the probability over the middle, in its logarithm
// over the tails, where the ranks above or below nearly all of a type fall, and every rank at the ends of
// the effect's search.
class NormalQuantile
{
public:
    static double of(double p)
    {
        static const NormalQuantile table;
        if (p > 0.5)
            return -of(1.0 - p);
        const double at = p * Steps;
        if (at >= TailFrom)
            return interpolate(table.m_z, at);
        const double tail = (-std::log(p) - std::log(double(Steps) / TailFrom)) / TailStep;
        return tail < TailSteps ? interpolate(table.m_tail, tail) : solve(p);
    }

private:
    static constexpr int Steps = 1 << 12; // a table that stays in the nearest cache
    static constexpr int TailFrom = 16; // steps of the middle: under them the quantile bends too fast for it
    static constexpr int TailSteps = 4096;
    static constexpr double TailStep = 40.0 / TailSteps; // down to e^-40 of where the tail begins
    static constexpr double SqrtTwoPi = 2.5066282746310002;

    NormalQuantile()
        : m_z(Steps / 2 + 2)
        , m_tail(TailSteps + 1)
    {
        for (int j = TailFrom; j < int(m_z.size()); ++j)
            m_z[size_t(j)] = solve(double(j) / Steps);
        for (int k = 0; k <= TailSteps; ++k)
            m_tail[size_t(k)] = solve(std::exp(-std::log(double(Steps) / TailFrom) - k * TailStep));
    }

    static double interpolate(const std::vector<double> &z, double at)
    {
        const size_t j = std::min(size_t(at), z.size() - 2);
        return z[j] + (at - double(j)) * (z[j + 1] - z[j]);
    }

    static double solve(double p)
    {
        // A logistic first guess, then Newton on the normal's distribution function.
        double z = std::log(p / (1.0 - p)) / 1.702;
        for (int i = 0; i < 40; ++i) {
            const double step = (0.5 * std::erfc(-z / std::sqrt(2.0)) - p) / (std::exp(-0.5 * z * z) / SqrtTwoPi);
            z -= std::clamp(step, -1.0, 1.0);
            if (std::fabs(step) < 1e-10)
                break;
        }
        return z;
    }

    std::vector<double> m_z;    // at j / Steps, up to a half
    std::vector<double> m_tail; // at e^-(k * TailStep) * TailFrom / Steps
};

// Values below and equal to `value` in a sorted list.
std::pair<size_t, size_t> rankOf(const std::vector<double> &sorted, double value)
{
    const auto low = std::lower_bound(sorted.begin(), sorted.end(), value);
    const auto high = std::upper_bound(low, sorted.end(), value);
    return {size_t(low - sorted.begin()), size_t(high - low)};
}

struct TypeRates
{
    std::vector<double> sorted;
    double median = NAN;
    bool comparable = false;

    // The rank test is inverted by trying scales: the counts below each step of the logarithm of the
    // positive fades, so that a rank costs a lookup instead of a search of the type's list.
    static constexpr int Steps = 4096;
    std::vector<double> below; // at exp(logLow + j * logStep)
    double logLow = 0, logStep = 1;

    void tabulate()
    {
        const auto positive = std::upper_bound(sorted.begin(), sorted.end(), 0.0);
        if (positive == sorted.end())
            return;
        logLow = std::log(*positive);
        logStep = std::max((std::log(sorted.back()) - logLow) / (Steps - 1), 1e-9);
        below.resize(Steps + 1);
        for (int j = 0; j <= Steps; ++j) {
            const auto rank = rankOf(sorted, std::exp(logLow + j * logStep));
            below[size_t(j)] = double(rank.first) + 0.5 * double(rank.second);
        }
    }

    // The mid-rank of a value among the type's fades, interpolated between steps for positive ones.
    // `logValue` is the logarithm of a positive `value`, given because the search for a scale has it at hand.
    double midRank(double value, double logValue) const
    {
        if (value <= 0 || below.empty()) {
            const auto rank = rankOf(sorted, value);
            return double(rank.first) + 0.5 * double(rank.second);
        }
        const double at = (logValue - logLow) / logStep;
        if (at <= 0)
            return at < 0 ? below.front() - 0.5 : below.front();
        if (at >= Steps)
            return double(sorted.size());
        const int j = int(at);
        return below[size_t(j)] + (at - j) * (below[size_t(j) + 1] - below[size_t(j)]);
    }
};

struct Battery
{
    const FleetIndex::Entry *entry = nullptr;
    double fade = NAN;
    double ratio = NAN;
    int days = 0; // of its fit
    bool faster = false;
    quint64 stratum = 0; // its type and the shape of its fit
    QByteArray home;
};

class Grouping
{
public:
    // `outside`: batteries left out of the strata (those of flagged places), null for none.
    Grouping(const std::vector<Battery> &batteries, const QHash<quint32, TypeRates> &types,
             const QHash<quint64, TypeRates> &strata, const std::vector<char> *outside = nullptr)
        : m_batteries(batteries)
        , m_types(types)
        , m_strata(strata)
        , m_outside(outside)
    {
    }

    WearGroup measure(const QString &name, const std::vector<int> &members) const
    {
        WearGroup group;
        group.name = name;
        group.batteries = int(members.size());
        QHash<quint64, std::vector<double>> own;
        for (const int i : members) {
            const Battery &b = m_batteries[size_t(i)];
            if (!std::isnan(b.ratio) && !(m_outside && (*m_outside)[size_t(i)]))
                own[b.stratum].push_back(b.fade);
            group.fasterThanType += b.faster ? 1 : 0;
        }
        for (auto &list : own)
            std::sort(list.begin(), list.end());
        std::vector<double> fades, typeMedians, ratios;
        std::vector<Ranked> ranked;
        for (const int i : members) {
            const Battery &b = m_batteries[size_t(i)];
            if (std::isnan(b.ratio))
                continue;
            const TypeRates &type = *m_types.constFind(b.entry->record.typeCode);
            fades.push_back(b.fade);
            typeMedians.push_back(type.median);
            ratios.push_back(b.ratio);
            // Against the others of its stratum only: a place's own batteries would pull the reference toward it.
            const auto found = m_strata.constFind(b.stratum);
            if (found == m_strata.cend())
                continue;
            const TypeRates &stratum = *found;
            const std::vector<double> &mine = own[b.stratum];
            const size_t others = stratum.sorted.size() - mine.size();
            if (others >= size_t(WearAnalysis::MinimumTypeBatteries))
                ranked.push_back({b.fade, &stratum, &mine, double(others), b.fade > 0 ? std::log(b.fade) : 0.0,
                                  NormalQuantile::of(0.5 / (double(others) + 1.0))});
        }
        group.compared = int(ratios.size());
        if (ratios.empty())
            return group;
        std::sort(ratios.begin(), ratios.end());
        group.medianFade = medianOf(fades);
        group.typeMedianFade = medianOf(typeMedians);
        group.score = score(ranked, 1.0);
        if (ranked.size() >= size_t(WearReport::MinimumBatteries)) {
            // The factor that, taken out of the place's fades, leaves them ranking like the fleet's; the range
            // is the factors the same test does not reject at 95 %.
            group.effect = scaleAt(ranked, 0.0);
            group.effectLow = scaleAt(ranked, Z95);
            group.effectHigh = scaleAt(ranked, -Z95);
        } else {
            // Too few to invert the test: the median ratio, and the order statistics that hold it 95 % of the time.
            group.effect = medianOfSorted(ratios);
            const double n = double(ratios.size());
            const double half = Z95 * std::sqrt(n) / 2.0;
            group.effectLow = ratios[size_t(std::clamp(int(std::floor(n / 2.0 - half)), 1, int(n)) - 1)];
            group.effectHigh = ratios[size_t(std::clamp(int(std::ceil(n / 2.0 + half)) + 1, 1, int(n)) - 1)];
        }
        // The test says whether faster; the effect's range keeps out a large place that is surely faster, but by
        // less than MinimumEffect. Its point estimate would not: a small place wearing half as fast again
        // estimates under 1.3 one time in five.
        group.flagged = group.compared >= WearReport::MinimumBatteries && group.score >= WearReport::FlagScore
            && group.effectHigh >= WearReport::MinimumEffect;
        return group;
    }

private:
    struct Ranked
    {
        double fade;
        const TypeRates *all;            // its type's fades, the place's own among them
        const std::vector<double> *mine; // the place's own of its type
        double others;
        double logFade; // of a positive fade
        double bottom; // the score of a fade under all of the others; over all of them, its negative
    };

    // The rank score of the place's fades divided by `scale`: the normal scores of their mid-ranks among
    // the others of their types, summed and standardised; it falls as the scale grows. Normal scores weigh a
    // battery above nearly all of its type more than one in the middle, which is where faster wear shows,
    // and lose nothing to a test of mean log fades where those are normal. A fade of 0 or less no scale changes.
    static double score(const std::vector<Ranked> &ranked, double scale)
    {
        if (ranked.empty())
            return 0;
        double sum = 0;
        const double logScale = std::log(scale);
        for (const Ranked &r : ranked) {
            const double x = r.fade > 0 ? r.fade / scale : r.fade;
            const auto self = rankOf(*r.mine, x);
            const double below = r.all->midRank(x, r.logFade - logScale) - double(self.first) - 0.5 * double(self.second);
            // The ends are where most fades go while the effect is searched for: their score is kept.
            sum += below <= 0 ? r.bottom : below >= r.others ? -r.bottom : NormalQuantile::of((below + 0.5) / (r.others + 1.0));
        }
        // Each score has mean 0 and a variance just under 1 where the place is like the rest: dividing by
        // 1 errs toward fewer flags.
        return sum / std::sqrt(double(ranked.size()));
    }

    // The scale at which the score is `target`, by bisection on its logarithm between 1/20 and 20: to a
    // thousandth of itself, under what the pages show.
    static double scaleAt(const std::vector<Ranked> &ranked, double target)
    {
        double low = std::log(1.0 / 20.0), high = std::log(20.0);
        for (int i = 0; i < 13; ++i) {
            const double mid = (low + high) / 2.0;
            (score(ranked, std::exp(mid)) > target ? low : high) = mid;
        }
        return std::exp((low + high) / 2.0);
    }

    const std::vector<Battery> &m_batteries;
    const QHash<quint32, TypeRates> &m_types;
    const QHash<quint64, TypeRates> &m_strata;
    const std::vector<char> *m_outside;
};

// The strata of the batteries not left out, sorted and tabulated.
QHash<quint64, TypeRates> strataOf(const std::vector<Battery> &batteries, const std::vector<char> *outside)
{
    QHash<quint64, TypeRates> strata;
    for (size_t i = 0; i < batteries.size(); ++i) {
        const Battery &b = batteries[i];
        if (!std::isnan(b.fade) && !(outside && (*outside)[i]))
            strata[b.stratum].sorted.push_back(b.fade);
    }
    for (TypeRates &stratum : strata) {
        std::sort(stratum.sorted.begin(), stratum.sorted.end());
        stratum.median = medianOfSorted(stratum.sorted);
        stratum.comparable = stratum.sorted.size() >= size_t(WearAnalysis::MinimumTypeBatteries) && stratum.median > 0;
        stratum.tabulate();
    }
    return strata;
}

} // namespace

double WearAnalysis::fadeOf(const FleetIndex::Entry &entry)
{
    if (!entry.forecast)
        return NAN;
    const Forecast &f = *entry.forecast;
    // Forecasts without a fit leave the slope at 0; so do those cut short for too short a span.
    if (f.status == Forecast::Status::NotEnoughHistory || f.days < Forecast::MinimumDays
        || (f.status == Forecast::Status::Now && f.slopePerYear == 0))
        return NAN;
    return -f.slopePerYear;
}

WearReport WearAnalysis::of(const FleetSnapshot &fleet, const SiteMap &sites)
{
    WearReport report;
    std::vector<Battery> batteries;
    batteries.reserve(fleet.batteries.size());
    QHash<quint32, TypeRates> types;
    for (const FleetIndex::Entry &entry : fleet.batteries) {
        Battery b;
        b.entry = &entry;
        b.fade = fadeOf(entry);
        if (!std::isnan(b.fade)) {
            b.days = entry.forecast.brief()->days;
            types[entry.record.typeCode].sorted.push_back(b.fade);
            b.stratum = quint64(entry.record.typeCode) << 8 | quint64(entry.forecast.model());
        }
        batteries.push_back(b);
    }
    // The rank test compares a battery with those of its type whose fit has the same shape: a bend's newer
    // pace runs faster than a straight line's, and how many of each a place happens to have says nothing
    // of how it charges.
    QHash<quint64, TypeRates> strata = strataOf(batteries, nullptr);
    for (auto it = types.begin(); it != types.end(); ++it) {
        std::sort(it->sorted.begin(), it->sorted.end());
        it->median = medianOfSorted(it->sorted);
        it->comparable = it->sorted.size() >= size_t(MinimumTypeBatteries) && it->median > 0;
        it->tabulate();
        report.types.append({it.key(), int(it->sorted.size()), it->median});
    }
    std::sort(report.types.begin(), report.types.end(),
              [](const TypeWear &a, const TypeWear &b) { return a.typeCode < b.typeCode; });

    // Each battery's home: the address, and the site, of most of its reports.
    QHash<QByteArray, QString> siteOfAddress;
    const auto siteOf = [&](const QByteArray &address) -> QString {
        auto found = siteOfAddress.constFind(address);
        if (found == siteOfAddress.cend())
            found = siteOfAddress.insert(address, sites.siteOf(address));
        return *found;
    };
    QHash<QString, int> siteSlot;
    std::vector<QString> siteNames;
    std::vector<std::vector<int>> siteMembers;
    std::vector<QHash<QByteArray, std::vector<int>>> addressMembers;
    QHash<QByteArray, QByteArray> homes;
    for (size_t i = 0; i < batteries.size(); ++i) {
        Battery &b = batteries[i];
        const FleetIndex::Entry &entry = *b.entry;
        const auto type = types.constFind(entry.record.typeCode);
        if (!std::isnan(b.fade) && type->comparable) {
            b.ratio = b.fade / type->median;
        }
        if (!entry.forecast)
            continue;
        const Forecast forecast = *entry.forecast; // decoded once: its places are read below
        const ReportPlaces &places = forecast.places;
        if (places.shares.isEmpty())
            continue;
        if (places.shares.constFirst().points * 2 > places.points) {
            // One copy per address, however many batteries live there.
            const QByteArray &address = places.shares.constFirst().address;
            auto known = homes.constFind(address);
            if (known == homes.cend())
                known = homes.insert(address, address);
            b.home = *known;
        }
        QString site;
        if (!b.home.isEmpty()) {
            site = siteOf(b.home);
        } else {
            // Several addresses of one site may hold most of the reports together.
            QList<std::pair<QString, int>> bySite;
            for (const ReportPlaces::Share &share : places.shares) {
                const QString name = siteOf(share.address);
                auto at = std::find_if(bySite.begin(), bySite.end(), [&name](const auto &s) { return s.first == name; });
                if (at == bySite.end())
                    bySite.append({name, share.points});
                else
                    at->second += share.points;
            }
            for (const auto &s : bySite) {
                if (s.second * 2 > places.points)
                    site = s.first;
            }
        }
        if (site.isEmpty())
            continue;
        auto slot = siteSlot.constFind(site);
        if (slot == siteSlot.cend()) {
            slot = siteSlot.insert(site, int(siteNames.size()));
            siteNames.push_back(site);
            siteMembers.emplace_back();
            addressMembers.emplace_back();
        }
        siteMembers[size_t(*slot)].push_back(int(i));
        if (!b.home.isEmpty())
            addressMembers[size_t(*slot)][b.home].push_back(int(i));
    }

    // A first pass finds the places that wear faster; the second measures every place against the batteries
    // of the rest, so that the reference is the type's usual wear and a normal place reads 1.0x.
    std::vector<char> outside(batteries.size(), 0);
    {
        const Grouping first(batteries, types, strata);
        for (size_t s = 0; s < siteNames.size(); ++s) {
            if (first.measure(siteNames[s], siteMembers[s]).flagged) {
                for (const int i : siteMembers[s])
                    outside[size_t(i)] = 1;
                continue;
            }
            for (auto it = addressMembers[s].cbegin(); it != addressMembers[s].cend(); ++it) {
                if (first.measure(QString(), it.value()).flagged) {
                    for (const int i : it.value())
                        outside[size_t(i)] = 1;
                }
            }
        }
        if (std::find(outside.cbegin(), outside.cend(), 1) != outside.cend())
            strata = strataOf(batteries, &outside);
    }
    // "Fading faster than its type": far above the usual of its type and shape, bent fits too, with enough
    // days of fit to be sure of the pace.
    for (Battery &b : batteries) {
        if (std::isnan(b.fade))
            continue;
        const auto stratum = strata.constFind(b.stratum);
        if (stratum == strata.cend() || !stratum->comparable || b.days < SteadyDays)
            continue;
        b.faster = b.fade >= WearReport::FasterRatio * stratum->median;
        report.fasterThanType += b.faster ? 1 : 0;
    }

    const Grouping grouping(batteries, types, strata, &outside);
    for (size_t s = 0; s < siteNames.size(); ++s) {
        SiteWear wear;
        wear.site = grouping.measure(siteNames[s], siteMembers[s]);
        report.flaggedSites += wear.site.flagged ? 1 : 0;
        for (auto it = addressMembers[s].cbegin(); it != addressMembers[s].cend(); ++it) {
            wear.addresses.append(grouping.measure(SiteMap::addressText(it.key()), it.value()));
            report.flaggedAddresses += wear.addresses.constLast().flagged ? 1 : 0;
        }
        std::sort(wear.addresses.begin(), wear.addresses.end(), [](const WearGroup &a, const WearGroup &b) {
            return a.batteries != b.batteries ? a.batteries > b.batteries : a.name < b.name;
        });
        // Exactly as many as there are: a list grown by appending holds up to half as much again unused.
        wear.batteries.reserve(qsizetype(siteMembers[s].size()));
        for (const int i : siteMembers[s]) {
            const Battery &b = batteries[size_t(i)];
            const BatteryRecord &r = b.entry->record;
            wear.batteries.append({FleetIndex::orderKey(r.serial), r.typeCode, b.home, b.fade, b.ratio, b.faster});
        }
        report.sites.append(std::move(wear));
    }
    std::sort(report.sites.begin(), report.sites.end(), [](const SiteWear &a, const SiteWear &b) {
        if (a.site.flagged != b.site.flagged)
            return a.site.flagged;
        return a.site.batteries != b.site.batteries ? a.site.batteries > b.site.batteries : a.site.name < b.site.name;
    });
    return report;
}

} // namespace NVL::Engineering::VK
