#include "PurchasePlan.h"

#include "LeastSquares.h"

#include <QHash>

#include <algorithm>
#include <cmath>

namespace NVL::Engineering::VK {

namespace {

const QDate Epoch(1970, 1, 1);

double normalBelow(double z)
{
    return 0.5 * std::erfc(-z / std::sqrt(2.0));
}

// The crossing day as a normal on either side of the forecast day, each side's spread (in days) as the
// band says. A band without a late end (the slower plausible fit does not reach the boundary) gets a late
// side of at least half a year per 1.96: the date may be far later, and is at least no sooner.
struct Spread
{
    double early;
    double late;

    static Spread of(const Forecast &f)
    {
        const double day = double(*f.day);
        const double early = f.earliestDay ? std::max((day - double(*f.earliestDay)) / Z95, 1.0) : 30.0;
        const double late = f.latestDay ? std::max((double(*f.latestDay) - day) / Z95, 1.0)
                                        : std::max(3.0 * early, 180.0 / Z95);
        return {early, late};
    }
};

double crossedBy(const Forecast &f, double end)
{
    const double day = double(*f.day);
    const Spread spread = Spread::of(f);
    // Each half of the split normal carries half of the probability.
    return normalBelow((end - day) / (end <= day ? spread.early : spread.late));
}

// Whether the battery has crossed before `end` if its day moved by PurchasePlan::SharedShift of its own
// spread, sooner or later: the error every forecast shares.
bool crossedWhenShifted(const Forecast &f, double end, bool early)
{
    // A band without a late end may not reach the boundary for years: later, it stays out of the plan.
    if (!early && !f.latestDay)
        return false;
    const Spread spread = Spread::of(f);
    const double day = double(*f.day) + (early ? -spread.early : spread.late) * PurchasePlan::SharedShift;
    return day < end;
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

std::array<double, PurchasePlan::Months> PurchasePlan::crossingShifted(const FleetIndex::Entry &entry, qint64 today,
                                                                         const std::array<qint64, Months> &ends, bool early)
{
    const std::optional<Forecast> &f = entry.forecast;
    if (!f || f->status != Forecast::Status::Date || !f->day)
        return crossingBy(entry, today, ends); // no band: certain either way, or no fit to tell from
    std::array<double, Months> by{};
    for (int m = 0; m < Months; ++m)
        by[size_t(m)] = crossedWhenShifted(*f, double(std::max(ends[size_t(m)], today + 1)), early) ? 1.0 : 0.0;
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
    // variance. Beside them the counts if every battery's day moved together, sooner or later: the error of
    // the forecasts themselves, which the counting spread leaves out, and which a fault of the fit (a knee
    // it has not seen yet) shares among many batteries instead of averaging away.
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
        const auto early = crossingShifted(entry, fleet.today, ends, true);
        const auto late = crossingShifted(entry, fleet.today, ends, false);
        for (int m = 0; m < Months; ++m) {
            sums.byEndEarly[size_t(m)] += early[size_t(m)];
            sums.byEndLate[size_t(m)] += late[size_t(m)];
            sums.early[size_t(m)] += early[size_t(m)] - (m > 0 ? early[size_t(m - 1)] : 0.0);
            sums.late[size_t(m)] += late[size_t(m)] - (m > 0 ? late[size_t(m - 1)] : 0.0);
        }
    }
    Sums total;
    // The wider of the two, never more than there are batteries: the counting spread, and the counts with
    // every day moved together, either of which may be the lower (a month's count can fall when every
    // crossing comes sooner).
    const auto range = [](Cell &cell, double variance, double early, double late, int batteries) {
        cell.low = std::max(0.0, std::min({cell.expected - Z95 * std::sqrt(variance), early, late}));
        cell.high = std::min(double(batteries), std::max({cell.expected + Z95 * std::sqrt(variance), early, late}));
    };
    for (auto it = byType.begin(); it != byType.end(); ++it) {
        Row &row = it->row;
        for (int m = 0; m < Months; ++m) {
            const size_t i = size_t(m);
            range(row.months[i], it->variance[i], it->early[i], it->late[i], row.batteries);
            range(row.byEnd[i], it->byEndVariance[i], it->byEndEarly[i], it->byEndLate[i], row.batteries);
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
        range(plan.total.months[i], total.variance[i], total.early[i], total.late[i], plan.total.batteries);
        range(plan.total.byEnd[i], total.byEndVariance[i], total.byEndEarly[i], total.byEndLate[i], plan.total.batteries);
    }
    std::sort(plan.types.begin(), plan.types.end(), [](const Row &a, const Row &b) { return a.typeCode < b.typeCode; });
    return plan;
}

} // namespace NVL::Engineering::VK
