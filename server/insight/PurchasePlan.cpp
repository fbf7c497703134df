#include "PurchasePlan.h"

#include <QHash>

#include <algorithm>
#include <cmath>

namespace NVL::Engineering::VK {

namespace {

constexpr double Z95 = 1.96;
const QDate Epoch(1970, 1, 1);

double normalBelow(double z)
{
    return 0.5 * std::erfc(-z / std::sqrt(2.0));
}

// The crossing day as a normal on either side of the forecast day, each side as wide as the band says.
// A band without a late end (the slower plausible fit does not reach the boundary) gets a late side of
// at least half a year per 1.96: the date may be far later, and is at least no sooner.
double crossedBy(const Forecast &f, double end)
{
    const double day = double(*f.day);
    const double early = f.earliestDay ? std::max((day - double(*f.earliestDay)) / Z95, 1.0) : 30.0;
    const double late = f.latestDay ? std::max((double(*f.latestDay) - day) / Z95, 1.0)
                                    : std::max(3.0 * early, 180.0 / Z95);
    // Each half of the split normal carries half of the probability.
    return normalBelow((end - day) / (end <= day ? early : late));
}

// Whether the battery has crossed before `end` if it crossed on its band's early (or late) end instead of
// its forecast day; a band without a late end does not cross within the plan on that side.
bool crossedAtBandEnd(const Forecast &f, double end, bool early)
{
    const std::optional<qint64> &side = early ? (f.earliestDay ? f.earliestDay : f.day) : f.latestDay;
    return side && double(*side) < end;
}

} // namespace

std::array<qint64, PurchasePlan::Months> PurchasePlan::monthEnds(qint64 today)
{
    std::array<qint64, Months> ends{};
    const QDate date = Epoch.addDays(today);
    const QDate first(date.year(), date.month(), 1);
    for (int m = 0; m < Months; ++m)
        ends[size_t(m)] = Epoch.daysTo(first.addMonths(m + 1));
    return ends;
}

std::array<double, PurchasePlan::Months> PurchasePlan::crossingBy(const FleetIndex::Entry &entry, qint64 today,
                                                                  const std::array<qint64, Months> &ends)
{
    std::array<double, Months> by{};
    const std::optional<Forecast> &f = entry.forecast;
    // Poor now (by its newest report, as every view tells it) or at the boundary by its fit: needed now.
    if (entry.outlook().isDue()) {
        by.fill(1.0);
        return by;
    }
    if (!f || f->status != Forecast::Status::Date || !f->day)
        return by;
    // A crossing the forecast put before today (a battery that stopped reporting) is due now.
    for (int m = 0; m < Months; ++m)
        by[size_t(m)] = crossedBy(*f, double(std::max(ends[size_t(m)], today + 1)));
    return by;
}

std::array<double, PurchasePlan::Months> PurchasePlan::crossingAtBandEnd(const FleetIndex::Entry &entry, qint64 today,
                                                                         const std::array<qint64, Months> &ends, bool early)
{
    const std::optional<Forecast> &f = entry.forecast;
    if (!f || f->status != Forecast::Status::Date || !f->day)
        return crossingBy(entry, today, ends); // no band: certain either way, or no fit to tell from
    std::array<double, Months> by{};
    for (int m = 0; m < Months; ++m)
        by[size_t(m)] = crossedAtBandEnd(*f, double(std::max(ends[size_t(m)], today + 1)), early) ? 1.0 : 0.0;
    return by;
}

PurchasePlan PurchasePlan::of(const FleetSnapshot &fleet)
{
    PurchasePlan plan;
    plan.today = Epoch.addDays(fleet.today);
    const auto ends = monthEnds(fleet.today);
    for (int m = 0; m < Months; ++m)
        plan.monthStarts[size_t(m)] = m == 0 ? plan.today : Epoch.addDays(ends[size_t(m - 1)]);

    // Sums of p and p(1 - p) per type and month: the count of independent batteries has their mean and
    // variance. Beside them the counts if every battery crossed at its band's early end, or its late end:
    // the error of the forecasts themselves, which the counting spread leaves out, and which a fault of
    // the fit (a knee it has not seen yet) shares among many batteries instead of averaging away.
    struct Sums
    {
        Row row;
        std::array<double, Months> variance{};
        std::array<double, Months> byEndVariance{};
        std::array<double, Months> early{}, late{}, byEndEarly{}, byEndLate{};
    };
    QHash<quint32, Sums> byType;
    for (const FleetIndex::Entry &entry : fleet.batteries) {
        Sums &sums = byType[entry.record.typeCode];
        sums.row.typeCode = entry.record.typeCode;
        ++sums.row.batteries;
        const auto by = crossingBy(entry, fleet.today, ends);
        if (entry.outlook().kind == ReplacementOutlook::Kind::PoorNow) {
            ++sums.row.poorNow;
        } else if (!entry.forecast || entry.forecast.status() == Forecast::Status::NotEnoughHistory) {
            ++sums.row.withoutForecast;
        }
        double before = 0;
        for (int m = 0; m < Months; ++m) {
            const double p = std::clamp(by[size_t(m)] - before, 0.0, 1.0);
            before = std::max(before, by[size_t(m)]);
            sums.row.months[size_t(m)].expected += p;
            sums.variance[size_t(m)] += p * (1.0 - p);
            const double cumulative = std::clamp(before, 0.0, 1.0);
            sums.row.byEnd[size_t(m)].expected += cumulative;
            sums.byEndVariance[size_t(m)] += cumulative * (1.0 - cumulative);
        }
        const auto early = crossingAtBandEnd(entry, fleet.today, ends, true);
        const auto late = crossingAtBandEnd(entry, fleet.today, ends, false);
        for (int m = 0; m < Months; ++m) {
            sums.byEndEarly[size_t(m)] += early[size_t(m)];
            sums.byEndLate[size_t(m)] += late[size_t(m)];
            sums.early[size_t(m)] += early[size_t(m)] - (m > 0 ? early[size_t(m - 1)] : 0.0);
            sums.late[size_t(m)] += late[size_t(m)] - (m > 0 ? late[size_t(m - 1)] : 0.0);
        }
    }
    Sums total;
    // The wider of the two: the counting spread, and the counts at the bands' ends, either of which may be
    // the lower (a month's count can fall when every crossing comes sooner).
    const auto range = [](Cell &cell, double variance, double early, double late) {
        cell.low = std::max(0.0, std::min({cell.expected - Z95 * std::sqrt(variance), early, late}));
        cell.high = std::max({cell.expected + Z95 * std::sqrt(variance), early, late});
    };
    for (auto it = byType.begin(); it != byType.end(); ++it) {
        Row &row = it->row;
        for (int m = 0; m < Months; ++m) {
            const size_t i = size_t(m);
            range(row.months[i], it->variance[i], it->early[i], it->late[i]);
            range(row.byEnd[i], it->byEndVariance[i], it->byEndEarly[i], it->byEndLate[i]);
            plan.total.months[i].expected += row.months[i].expected;
            plan.total.byEnd[i].expected += row.byEnd[i].expected;
            total.variance[i] += it->variance[i];
            total.byEndVariance[i] += it->byEndVariance[i];
            total.early[i] += it->early[i];
            total.late[i] += it->late[i];
            total.byEndEarly[i] += it->byEndEarly[i];
            total.byEndLate[i] += it->byEndLate[i];
        }
        plan.total.batteries += row.batteries;
        plan.total.poorNow += row.poorNow;
        plan.total.withoutForecast += row.withoutForecast;
        plan.types.append(row);
    }
    for (size_t i = 0; i < size_t(Months); ++i) {
        range(plan.total.months[i], total.variance[i], total.early[i], total.late[i]);
        range(plan.total.byEnd[i], total.byEndVariance[i], total.byEndEarly[i], total.byEndLate[i]);
    }
    std::sort(plan.types.begin(), plan.types.end(), [](const Row &a, const Row &b) { return a.typeCode < b.typeCode; });
    return plan;
}

} // namespace NVL::Engineering::VK
