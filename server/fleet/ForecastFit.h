#pragma once

#include "Forecast.h"

#include <QList>

namespace NVL::Engineering::VK {

// The forecast math: when a battery's health percentage reaches the Poor boundary, from its daily points.
// Beside the fleet model, which reads what it makes; the history file only stores the outcome.
class ForecastFit
{
public:
    ForecastFit() = delete;

    // A change of pace or level is believed only when it explains this much more of the year than one
    // line does (the log-likelihood ratio of the fits, searched over every break): on steady batteries a
    // break found by chance stays under it.
    static constexpr double ChangeEvidence = 16.0;
    // Daily points after a fall before the new level counts: one or two low reports are noise.
    static constexpr int DropDays = 3;

    // Fit of the days in ascending order (one per day). A running median picks out wild reports; least
    // squares fits the others as one line, as a line that bends once, and as a line that steps once, and
    // the date comes from the bend or step when the data ask for it. Percentages above 100, which the
    // classes treat as Poor but which no wear produces, are left out. The plausible range is the 95 %
    // interval of the crossing, over every break the data cannot tell from the chosen one.
    static Forecast fromDays(const QList<DailyHealth> &days, int boundary);
};

} // namespace NVL::Engineering::VK
