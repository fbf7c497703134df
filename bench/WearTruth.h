#pragma once

#include "AgeingCurves.h"
#include "Forecast.h"

#include <QList>
#include <QString>

#include <optional>
#include <random>

namespace NVL::Engineering::VK::Bench {

// Batteries whose true health curve is known, reported daily with the faults real fleets show, so that a
// forecast can be judged against the day each truly reaches the boundary.
enum class Cohort {
    SteadyQuiet,   // straight fade, noise of about half a point
    SteadyNoisy,   // straight fade, noise of about two points
    Wild,          // straight fade, one report in ten anything from 0 to 255
    KneeYoung,     // slow fade, then a knee 30 to 90 days ago after which the loss speeds up
    KneeOld,       // the same with the knee 90 to 240 days ago
    Flat,          // no wear at all
    Short,         // under 30 days of history
    Gaps,          // straight fade with months of silence in the year
    IntegerSlow,   // slow fade where whole percentages say more than the noise
    Drop,          // a steady battery that fell under the boundary 1 to 10 days ago and stays there
    // Wear that keeps speeding up after a knee 10 to 240 days ago (a third each 10-30, 30-90, 90-240): the
    // extra loss grows with the square of the time since, 2 to 15 points in its first half year.
    Accelerating,
    RealCells,     // measured lithium-ion cells (AgeingCurves), reported from new
    Replaced,      // worn to about 75 %, then a new battery under the same serial 10 to 200 days ago
    Recovered,     // a steady fade with 5 days of low readings that ended 3 to 30 days ago
    SeveralDaily,  // 3 to 6 reports a day, one of them wild
    Seasonal,      // a steady fade with a yearly swing of 3 points, one to three years of history
};

struct TrueBattery
{
    Cohort cohort = Cohort::SteadyQuiet;
    QList<DailyHealth> days;        // the reports, one per day, oldest first; the newest is "today"
    std::optional<qint64> crossing; // days after today the truth reaches the boundary; 0 when it has
    int dropAge = 0;                // Drop: daily reports since the fall
    double level = 0;               // the truth today
    double pace = 0;                // wearing(): points a year the truth loses today
    QString group;                  // a part of its cohort reported on its own, or empty
};

class WearTruth
{
public:
    static constexpr qint64 Today = 20000;

    explicit WearTruth(quint32 seed, int boundary = 80);

    TrueBattery make(Cohort cohort);
    // A measured cell mapped onto calendar days so that it reaches 80 % after 500 to 1,500 days, reported
    // daily from new with 0.7 points of noise, and forecast on the day it first stands at `level` %.
    TrueBattery realCell(const AgeingCurves &curves, int cell, int level);
    // A battery of a fleet with charging sites: `history` days of daily reports of a cohort (Short is
    // taken as SteadyNoisy) whose wear runs `wear` times its natural pace, as a faulty charger makes it.
    // It started at 92 to 99 % on its first day, so some are under the boundary already.
    TrueBattery wearing(Cohort cohort, double wear, int history);
    static QString name(Cohort cohort);
    static QList<Cohort> all();

private:
    double unit() { return m_unit(m_random); }
    double uniform(double low, double high) { return low + (high - low) * unit(); }
    double normal() { return m_normal(m_random); }
    // Daily reports of `truth` (percent on a day relative to today) over `history` days with `noise`.
    template<typename Truth>
    TrueBattery report(Cohort cohort, int history, double noise, double wildShare, const Truth &truth,
                       int reportsPerDay = 1);
    TrueBattery replaced();
    TrueBattery recovered();
    // The extra loss of a knee `kneeAge` days ago, at `t` days from today, going from `slow` to `fast` a year.
    static double kneeLoss(double t, double kneeAge, double slow, double fast);
    // The first future day on which the truth is at or under the boundary, within ten years.
    template<typename Truth>
    std::optional<qint64> crossingOf(const Truth &truth) const;

    std::mt19937 m_random;
    std::uniform_real_distribution<double> m_unit{0.0, 1.0};
    std::normal_distribution<double> m_normal{0.0, 1.0};
    int m_boundary;
};

} // namespace NVL::Engineering::VK::Bench
