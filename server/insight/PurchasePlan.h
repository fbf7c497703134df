#pragma once

#include "FleetSnapshot.h"

#include <QDate>
#include <QList>

#include <array>

namespace NVL::Engineering::VK {

// How many batteries of each type reach the boundary in each of the next months: the sum of each
// battery's probability of crossing in that month, from its forecast date and band, so that no battery is
// counted twice. Batteries already at or under the boundary (by their fit, or by their newest report where
// they have none) are counted in the first month. The range holds the 95 % range of the count where each
// battery's own probabilities hold, and the counts if every battery's day moved together by SharedShift of
// its own spread, sooner or later.
struct PurchasePlan
{
    static constexpr int Months = 12;
    // The share of each battery's spread that the errors of a fleet's forecasts have in common. The bands
    // hold 95 % of each battery's own error (1.96 spreads), most of which averages away over a fleet; moving
    // every battery to its band's edge at once counted ranges of half the fleet. The benchmark's fleets
    // (vk_bench_insight) find their truth inside the range with this share.
    static constexpr double SharedShift = 0.5;

    struct Cell
    {
        double expected = 0;
        double low = 0;
        double high = 0;
    };
    struct Row
    {
        quint32 typeCode = 0;
        int batteries = 0;
        int poorNow = 0;       // in the first month's figure
        int withoutForecast = 0; // no fit to tell from: in no month
        std::array<Cell, Months> months{};
        std::array<Cell, Months> byEnd{}; // from today to each month's end together
    };

    // The first day of each month; the first month runs from today to its end.
    std::array<QDate, Months> monthStarts{};
    QDate today;
    QList<Row> types; // by type code
    Row total;

    static PurchasePlan of(const FleetSnapshot &fleet);
    // The local day numbers that end each month (exclusive), from the day `today`.
    static std::array<qint64, Months> monthEnds(qint64 today);
    // A battery's probability of crossing before each month's end, from its forecast.
    static std::array<double, Months> crossingBy(const FleetIndex::Entry &entry, qint64 today,
                                                 const std::array<qint64, Months> &ends);
    // The same, 0 or 1, where a dated battery's day moves by SharedShift of its spread, sooner (or later).
    static std::array<double, Months> crossingShifted(const FleetIndex::Entry &entry, qint64 today,
                                                        const std::array<qint64, Months> &ends, bool early);
};

} // namespace NVL::Engineering::VK
