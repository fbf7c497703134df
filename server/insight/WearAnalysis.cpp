#include "WearAnalysis.h"

#include <QHash>

#include <algorithm>
#include <cmath>
#include <vector>

namespace NVL::Engineering::VK {

namespace {

// The normal quantile of the 95 % range of a median from its order statistics.
constexpr double Z95 = 1.96;

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

struct TypeRates
{
    std::vector<double> sorted;
    double median = NAN;
    bool comparable = false;
};

struct Battery
{
    const FleetIndex::Entry *entry = nullptr;
    double fade = NAN;
    double ratio = NAN;
    bool faster = false;
    QByteArray home;
};

// Values below and equal to `value` in a sorted list.
std::pair<size_t, size_t> rankOf(const std::vector<double> &sorted, double value)
{
    const auto low = std::lower_bound(sorted.begin(), sorted.end(), value);
    const auto high = std::upper_bound(low, sorted.end(), value);
    return {size_t(low - sorted.begin()), size_t(high - low)};
}

class Grouping
{
public:
    Grouping(const std::vector<Battery> &batteries, const QHash<quint32, TypeRates> &types)
        : m_batteries(batteries)
        , m_types(types)
    {
    }

    WearGroup measure(const QString &name, const std::vector<int> &members) const
    {
        WearGroup group;
        group.name = name;
        group.batteries = int(members.size());
        QHash<quint32, std::vector<double>> own;
        for (const int i : members) {
            const Battery &b = m_batteries[size_t(i)];
            if (!std::isnan(b.ratio))
                own[b.entry->record.typeCode].push_back(b.fade);
            group.fasterThanType += b.faster ? 1 : 0;
        }
        for (auto &list : own)
            std::sort(list.begin(), list.end());
        std::vector<double> fades, typeMedians, ratios;
        double rankSum = 0;
        int ranked = 0;
        for (const int i : members) {
            const Battery &b = m_batteries[size_t(i)];
            if (std::isnan(b.ratio))
                continue;
            const TypeRates &type = *m_types.constFind(b.entry->record.typeCode);
            fades.push_back(b.fade);
            typeMedians.push_back(type.median);
            ratios.push_back(b.ratio);
            // Against the others of its type only: a place's own batteries would pull the reference toward it.
            const std::vector<double> &mine = own[b.entry->record.typeCode];
            const size_t others = type.sorted.size() - mine.size();
            if (others < size_t(WearAnalysis::MinimumTypeBatteries))
                continue;
            const auto all = rankOf(type.sorted, b.fade);
            const auto self = rankOf(mine, b.fade);
            rankSum += (double(all.first - self.first) + 0.5 * double(all.second - self.second)) / double(others);
            ++ranked;
        }
        group.compared = int(ratios.size());
        if (ratios.empty())
            return group;
        std::sort(ratios.begin(), ratios.end());
        group.medianFade = medianOf(fades);
        group.typeMedianFade = medianOf(typeMedians);
        group.effect = medianOfSorted(ratios);
        // The order statistics that hold the median 95 % of the time (binomial, by its normal form).
        const double n = double(ratios.size());
        const double half = Z95 * std::sqrt(n) / 2.0;
        const int low = std::clamp(int(std::floor(n / 2.0 - half)), 1, int(n));
        const int high = std::clamp(int(std::ceil(n / 2.0 + half)) + 1, 1, int(n));
        group.effectLow = ratios[size_t(low - 1)];
        group.effectHigh = ratios[size_t(high - 1)];
        group.score = ranked > 0 ? (rankSum - ranked / 2.0) / std::sqrt(ranked / 12.0) : 0;
        group.flagged = group.compared >= WearReport::MinimumBatteries && group.score >= WearReport::FlagScore
            && group.effect >= WearReport::MinimumEffect;
        return group;
    }

private:
    const std::vector<Battery> &m_batteries;
    const QHash<quint32, TypeRates> &m_types;
};

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
        if (!std::isnan(b.fade))
            types[entry.record.typeCode].sorted.push_back(b.fade);
        batteries.push_back(b);
    }
    for (auto it = types.begin(); it != types.end(); ++it) {
        std::sort(it->sorted.begin(), it->sorted.end());
        it->median = medianOfSorted(it->sorted);
        it->comparable = it->sorted.size() >= size_t(MinimumTypeBatteries) && it->median > 0;
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
    for (size_t i = 0; i < batteries.size(); ++i) {
        Battery &b = batteries[i];
        const FleetIndex::Entry &entry = *b.entry;
        const auto type = types.constFind(entry.record.typeCode);
        if (!std::isnan(b.fade) && type->comparable) {
            b.ratio = b.fade / type->median;
            const auto rank = rankOf(type->sorted, b.fade);
            const double below = (double(rank.first) + 0.5 * double(rank.second)) / double(type->sorted.size());
            const Forecast &f = *entry.forecast;
            b.faster = below >= 1.0 - WearReport::FasterShare && f.model == Forecast::Model::Line && f.days >= SteadyDays;
            report.fasterThanType += b.faster ? 1 : 0;
        }
        if (!entry.forecast || entry.forecast->places.isEmpty())
            continue;
        const ReportPlaces &places = entry.forecast->places;
        if (places.shares.constFirst().points * 2 > places.points)
            b.home = places.shares.constFirst().address;
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

    const Grouping grouping(batteries, types);
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
        for (const int i : siteMembers[s]) {
            const Battery &b = batteries[size_t(i)];
            const BatteryRecord &r = b.entry->record;
            const QString shown = serialText(r);
            wear.batteries.append({r.serialKey(), shown.isEmpty() ? serialKeyText(r.serialKey()) : shown, aliasText(r),
                                   r.typeCode, b.home, b.fade, b.ratio, b.faster});
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
