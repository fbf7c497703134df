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
    // Where a fit speaks, it decides (one low report is noise to it); where none does, the newest report.
    const bool unfitted = !f || f->status == Forecast::Status::NotEnoughHistory;
    if ((f && f->status == Forecast::Status::Now) || (unfitted && entry.healthClass == Poor && entry.percent <= 100)) {
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

PurchasePlan PurchasePlan::of(const FleetSnapshot &fleet)
{
    PurchasePlan plan;
    plan.today = Epoch.addDays(fleet.today);
    const auto ends = monthEnds(fleet.today);
    for (int m = 0; m < Months; ++m)
        plan.monthStarts[size_t(m)] = m == 0 ? plan.today : Epoch.addDays(ends[size_t(m - 1)]);

    // Sums of p and p(1 - p) per type and month: the count of independent batteries has their mean and variance.
    struct Sums
    {
        Row row;
        std::array<double, Months> variance{};
        std::array<double, Months> byEndVariance{};
    };
    QHash<quint32, Sums> byType;
    for (const FleetIndex::Entry &entry : fleet.batteries) {
        Sums &sums = byType[entry.record.typeCode];
        sums.row.typeCode = entry.record.typeCode;
        ++sums.row.batteries;
        const auto by = crossingBy(entry, fleet.today, ends);
        if (by[0] >= 1.0) {
            ++sums.row.poorNow;
        } else if (!entry.forecast || entry.forecast->status == Forecast::Status::NotEnoughHistory) {
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
    }
    std::array<double, Months> totalVariance{};
    std::array<double, Months> totalByEndVariance{};
    const auto range = [](Cell &cell, double variance) {
        cell.low = std::max(0.0, cell.expected - Z95 * std::sqrt(variance));
        cell.high = cell.expected + Z95 * std::sqrt(variance);
    };
    for (auto it = byType.begin(); it != byType.end(); ++it) {
        Row &row = it->row;
        for (int m = 0; m < Months; ++m) {
            range(row.months[size_t(m)], it->variance[size_t(m)]);
            range(row.byEnd[size_t(m)], it->byEndVariance[size_t(m)]);
            plan.total.months[size_t(m)].expected += row.months[size_t(m)].expected;
            plan.total.byEnd[size_t(m)].expected += row.byEnd[size_t(m)].expected;
            totalVariance[size_t(m)] += it->variance[size_t(m)];
            totalByEndVariance[size_t(m)] += it->byEndVariance[size_t(m)];
        }
        plan.total.batteries += row.batteries;
        plan.total.poorNow += row.poorNow;
        plan.total.withoutForecast += row.withoutForecast;
        plan.types.append(row);
    }
    for (int m = 0; m < Months; ++m) {
        range(plan.total.months[size_t(m)], totalVariance[size_t(m)]);
        range(plan.total.byEnd[size_t(m)], totalByEndVariance[size_t(m)]);
    }
    std::sort(plan.types.begin(), plan.types.end(), [](const Row &a, const Row &b) { return a.typeCode < b.typeCode; });
    return plan;
}

} // namespace NVL::Engineering::VK
