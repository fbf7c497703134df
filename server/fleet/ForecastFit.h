#pragma once

#include "Forecast.h"
#include "ForecastAccuracy.h"
#include "WearProjection.h"

#include <QList>

#include <optional>

namespace NVL::Engineering::VK {

struct WearSeries;

// The forecast math: when a battery's health percentage reaches the Poor boundary, from its daily points.
// Beside the fleet model, which reads what it makes; the history file only stores the outcome.
class ForecastFit
{
public:
    ForecastFit() = delete;

    // Daily points after a fall before the new level counts: one or two low reports are noise. As many
    // back above the boundary and the battery is no longer there.
    static constexpr int DropDays = 3;

    // Fit of the days in ascending order (one per day). What is not wear goes first (WearSeries); then
    // every shape the points allow is fitted (a line, the newest quarter's line, a curve that speeds up,
    // a bend, a step) and the one that would have foretold the battery's own newest weeks best from 30,
    // 60 and 90 days back is taken. The date and its band come from that shape with the errors of its
    // kind in the fleet's own track record (`accuracy`).
    static Forecast fromDays(const QList<DailyHealth> &days, int boundary,
                             const ForecastAccuracy &accuracy = ForecastAccuracy::prior());

    // The chosen shape of a prepared series, or none when the points are too few; `line`, when asked for,
    // gets the year's line.
    static std::optional<WearProjection> project(const WearSeries &series, WearProjection *line = nullptr);
};

} // namespace NVL::Engineering::VK
