#pragma once

#include "Forecast.h"

#include <QList>

#include <optional>
#include <vector>

namespace NVL::Engineering::VK {

// A battery's daily points made ready for a fit: what is not wear taken out. Only the battery now in
// the radio counts (a rise of several points that holds is a new one); wild days and short dips that
// recovered are left out; a yearly swing, where two years show it, is taken off the points and kept
// for the forecast.
struct WearSeries
{
    // A rise of this many points over the days before it, held for RiseHoldDays, is a new battery.
    static constexpr int RisePoints = 5;
    static constexpr int RiseHoldDays = 3;
    // Low or high readings for at most this many days, with the level back after them, are no wear.
    static constexpr int DipDays = 10;
    // History read for the yearly swing, and how much of it shows one before it is looked for.
    static constexpr int SeasonReadDays = Forecast::ReadDays;
    static constexpr int SeasonMinimumSpan = 420;

    qint64 newestDay = 0;
    std::vector<double> x; // days before the newest (<= 0), oldest first; fits take the newest FittedDays
    std::vector<double> y; // percent, less the yearly swing
    int readDays = 0;      // daily points of the fitted span before wild and dipping days went
    // The newest valid daily values, newest last (at most RiseHoldDays): what "now" is judged on.
    std::vector<int> newest;
    std::optional<qint64> riseDay;
    double riseFrom = 0; // level before the rise
    double seasonSin = 0, seasonCos = 0;

    // The points of `days` (oldest first) within the fitted span, made ready.
    static WearSeries of(const QList<DailyHealth> &days);
    // The yearly swing on a day.
    double season(qint64 day) const;
    // Only the points up to `x` (days before the newest), as if the newest of them were the newest day.
    WearSeries upTo(double at) const;
};

} // namespace NVL::Engineering::VK
