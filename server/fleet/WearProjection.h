#pragma once

#include "Forecast.h"

#include <array>
#include <optional>
#include <vector>

namespace NVL::Engineering::VK {

struct WearSeries;

// One fitted shape of a battery's wear and what it says of the days ahead: the level t days after the
// newest is level + slope t + curve t² (on top of the yearly swing), with the uncertainty of that.
struct WearProjection
{
    Forecast::Model model = Forecast::Model::Line;
    double level = 0, slope = 0, curve = 0; // per day
    // Of (level, slope, curve), scaled by the noise inflated for errors correlated from day to day.
    std::array<std::array<double, 3>, 3> covariance{};
    double noise = 0; // standard deviation of one daily point around the fit
    // How much the covariance was widened for errors correlated from day to day (1: none).
    double inflation = 1;
    int points = 0;
    double sse = 0;
    // How much more of the year a change explains than the line (log-likelihood ratio); 0 for lines.
    double evidence = 0;
    // Bend and Drop: the day the newer part begins and the older part's level then and slope; Recent: the
    // first day of the newest stretch it was fitted over.
    std::optional<qint64> sinceDay;
    double priorLevel = 0, priorSlope = 0;

    double at(double t) const { return level + slope * t + curve * t * t; }
    // Standard deviation of the fitted level t days ahead: the fit's own uncertainty.
    double spread(double t) const;
    // What errors t days ahead are measured in: the spread and the fall foretold over those days. Wear
    // that speeds up misses by more the further it is foretold, so its errors scale with the fall too.
    double reach(double t) const;

    // Every shape the points up to the newest allow, the line first; empty when there are too few. Only
    // the shapes of `wanted` (bits by Forecast::Model) besides the line are looked for.
    static constexpr unsigned EveryShape = (1u << Forecast::ModelCount) - 1;
    static std::vector<WearProjection> fits(const WearSeries &series, unsigned wanted = EveryShape);
};

} // namespace NVL::Engineering::VK
