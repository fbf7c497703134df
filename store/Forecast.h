#pragma once

#include "ReportPlaces.h"

#include <QList>
#include <QtGlobal>

#include <optional>
#include <vector>

namespace NVL::Engineering::VK {

// One day of a battery's history: the median of the percentages reported that day.
struct DailyHealth
{
    qint64 day = 0; // days since 1970-01-01 in local time
    int percent = 0;

    // The day's value of its reports (any order): their median, the upper one of an even count, of those
    // no wear can produce (over 100 %) left out where others remain. One wild report among several a day
    // then never stands for the day.
    static int valueOf(std::vector<int> percents);
    // Which of the day's reports is that value, the latest of equal ones: the one point a thinned day keeps.
    static qsizetype indexOfValue(const std::vector<int> &percents);
};

// When a battery's health percentage is expected to reach the Poor boundary.
struct Forecast
{
    enum class Status : int {
        NotEnoughHistory = 0,
        NoDecline = 1,
        Now = 2,
        Date = 3,
        BeyondCap = 4, // falls, but reaches the boundary only after the cap
    };
    // Which shape of the newest year the date comes from.
    enum class Model : int {
        Line = 0, // one straight fade
        Bend = 1, // a fade that changed pace on sinceDay and goes on at the newer pace
        Drop = 2, // a fade whose level fell on sinceDay and stayed there
        Curve = 3,  // wear that keeps speeding up
        Recent = 4, // the pace of the newest stretch alone, from sinceDay on
    };
    static constexpr int ModelCount = 5;

    Status status = Status::NotEnoughHistory;
    // Days since 1970-01-01 (local); set for Date. latestDay is empty when the slower plausible fit does
    // not fall or reaches the boundary only after the cap.
    std::optional<qint64> day;
    std::optional<qint64> earliestDay;
    std::optional<qint64> latestDay;
    double slopePerYear = 0; // percentage points, negative when falling; 0 when not fitted
    double level = 0;        // fitted percentage on the newest day
    int days = 0;            // daily points the fit used
    Model model = Model::Line;
    // Bend and Drop: the day the newer pace or level begins, and the older segment's fitted percentage on
    // that day and its slope, so that both segments can be drawn.
    std::optional<qint64> sinceDay;
    double priorLevel = 0;
    double priorSlopePerYear = 0;
    // Curve: the level t years after the newest day is level + slopePerYear t + curvePerYear2 t².
    double curvePerYear2 = 0;
    // Standard deviation of a daily point around the fit, percentage points.
    double noise = 0;
    // A rise that held: a new battery (or a recalibrated one) under the same serial since riseDay; the
    // fit starts there. riseFrom is the level before it.
    std::optional<qint64> riseDay;
    double riseFrom = 0;
    // The yearly swing taken off before the fit, where the history shows one: seasonSin sin(2 pi d / 365.25)
    // + seasonCos cos(...) on local day d.
    double seasonSin = 0;
    double seasonCos = 0;
    // Where the reports of the fitted history came from, kept with the fit because both change together.
    ReportPlaces places;

    // Fewer days, or a shorter span, and a fit says more about the noise than about the wear: integer
    // percentages of a battery losing some ten points a year move about one point a month.
    static constexpr int MinimumDays = 10;
    static constexpr int MinimumSpanDays = 30;
    // Only the newest year is fitted: wear speeds up as a battery ages. Two are read, for a yearly swing.
    static constexpr int FittedDays = 365;
    static constexpr int ReadDays = 2 * 365;
    // Dates further out than this are no date anyone can plan with.
    static constexpr int CapDays = 10 * 365;

    // The fitted level t days after the newest day, which is local day `day`: the shape and the yearly swing.
    double levelAt(double t, qint64 day) const;

    static const char *statusName(Status status);
    static const char *modelName(Model model);
};

} // namespace NVL::Engineering::VK
