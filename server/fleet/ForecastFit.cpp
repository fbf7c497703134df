#include "ForecastFit.h"

#include "LeastSquares.h"
#include "WearSeries.h"

#include <algorithm>
#include <cmath>

namespace NVL::Engineering::VK {

namespace {

// The origins a shape is judged from, and the newest days it is judged on.
constexpr double Origins[] = {30, 60, 90};
constexpr double JudgedDays = 14;
// Rules whose misses differ by less than this share (or this many points) are as good as each other.
constexpr double Tolerance = 0.25;
constexpr double MinimumTolerance = 0.05;
constexpr double CurveFavour = 4;

// How far each shape, fitted to the points before `origin` days ago, missed the newest weeks: the mean
// of what was reported then less what it said, as a distance. A shape the points then did not allow is
// judged as the line it would have been: the rule "this shape where the points show it" is what is
// chosen, so a bend newer than the origin still counts for its rule.
struct Judged
{
    std::array<double, Forecast::ModelCount> miss{};
    std::array<int, Forecast::ModelCount> count{};
};

void judge(const WearSeries &s, double origin, unsigned wanted, Judged &judged)
{
    const WearSeries before = s.upTo(-origin);
    if (before.x.empty())
        return;
    const std::vector<WearProjection> shapes = WearProjection::fits(before, wanted);
    if (shapes.empty())
        return;
    const double shift = double(before.newestDay - s.newestDay);
    const auto missOf = [&](const WearProjection &p) {
        double sum = 0;
        int count = 0;
        for (size_t i = s.x.size(); i-- > 0 && s.x[i] > -JudgedDays;) {
            sum += s.y[i] - p.at(s.x[i] - shift);
            ++count;
        }
        return count > 0 ? std::fabs(sum / count) : 0.0;
    };
    const auto lineMiss = missOf(shapes.front());
    for (int m = 0; m < Forecast::ModelCount; ++m) {
        const auto own = std::find_if(shapes.begin(), shapes.end(), [m](const WearProjection &p) { return int(p.model) == m; });
        const auto missed = own == shapes.end() ? lineMiss : missOf(*own);
        judged.miss[size_t(m)] += missed;
        ++judged.count[size_t(m)];
    }
}

} // namespace

std::optional<WearProjection> ForecastFit::project(const WearSeries &s, WearProjection *line)
{
    const std::vector<WearProjection> shapes = WearProjection::fits(s);
    if (shapes.empty())
        return std::nullopt;
    if (line)
        *line = shapes.front();
    // Only the rules of shapes the points show now can be chosen: the others need not be judged.
    unsigned wanted = 0;
    for (const WearProjection &p : shapes)
        wanted |= 1u << int(p.model);
    Judged judged;
    for (const double origin : Origins) {
        if (s.x.empty() || s.x.front() > -origin - Forecast::MinimumSpanDays)
            break;
        judge(s, origin, wanted, judged);
    }
    const auto score = [&](Forecast::Model m) { return judged.miss[size_t(m)] / judged.count[size_t(m)]; };
    const WearProjection *chosen = &shapes.front();
    if (judged.count[size_t(Forecast::Model::Line)] == 0) {
        // Too young to be judged from the past: a change the points show clearly, or the line.
        for (const WearProjection &p : shapes) {
            if (p.evidence > chosen->evidence)
                chosen = &p;
        }
        return *chosen;
    }
    // The best rule, and every other as good within the noise of judging it: among those a change the
    // points show now (its rule may not have fired before), the clearest; else the simpler.
    double least = HUGE_VAL;
    for (const WearProjection &p : shapes)
        least = std::min(least, score(p.model));
    const double tied = least + std::max(Tolerance * least, MinimumTolerance);
    // Real wear speeds up gradually far more often than it bends once: a curve the points show goes
    // before a bend that explains them only a little better.
    const auto weight = [](const WearProjection &p) { return p.evidence + (p.model == Forecast::Model::Curve ? CurveFavour : 0.0); };
    for (const WearProjection &p : shapes) {
        if (score(p.model) > tied)
            continue;
        if (score(chosen->model) > tied || weight(p) > weight(*chosen)
            || (weight(p) == weight(*chosen) && score(p.model) < score(chosen->model) - std::max(Tolerance * least, MinimumTolerance)))
            chosen = &p;
    }
    return *chosen;
}

Forecast ForecastFit::fromDays(const QList<DailyHealth> &days, int boundary, const ForecastAccuracy &accuracy)
{
    Forecast forecast;
    const WearSeries s = WearSeries::of(days);
    forecast.days = s.readDays;
    forecast.riseDay = s.riseDay;
    forecast.riseFrom = s.riseFrom;
    forecast.seasonSin = s.seasonSin;
    forecast.seasonCos = s.seasonCos;
    // Already there takes several daily reports at or under the boundary: one low report is noise; as
    // many back above it and the battery is no longer there, whatever its fit says.
    const bool newestUnder = !s.newest.empty()
        && std::all_of(s.newest.begin(), s.newest.end(), [boundary](int p) { return p <= boundary; });
    const bool newestAbove = s.newest.size() >= size_t(DropDays)
        && std::all_of(s.newest.begin(), s.newest.end(), [boundary](int p) { return p > boundary; });

    WearProjection line;
    const std::optional<WearProjection> chosen = project(s, &line);
    if (!chosen) {
        if (newestUnder)
            forecast.status = Forecast::Status::Now;
        return forecast;
    }
    const WearProjection &p = *chosen;
    forecast.days = p.points;
    forecast.model = p.model;
    forecast.slopePerYear = p.slope * 365.0;
    forecast.curvePerYear2 = p.curve * 365.0 * 365.0;
    forecast.level = p.level;
    forecast.noise = p.noise;
    forecast.sinceDay = p.sinceDay;
    forecast.priorLevel = p.priorLevel;
    forecast.priorSlopePerYear = p.priorSlope * 365.0;

    const auto season = [&](double t) { return s.season(s.newestDay + qint64(t)); };
    if (newestUnder || (p.level + season(0) <= boundary && !newestAbove)) {
        forecast.status = Forecast::Status::Now;
        return forecast;
    }
    // A fall over the coming year that neither the chosen shape nor the year's line can tell from no fall
    // gives no date: noise on a flat battery would otherwise give it one half of the time. Judged on white
    // noise: the steps of whole percentages on a slow fade are correlated, but they are no doubt about it.
    const auto surelyFalls = [](const WearProjection &q) {
        const double g[3] = {0, 365.0, 365.0 * 365.0};
        double v = 0;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                v += g[i] * q.covariance[size_t(i)][size_t(j)] * g[j];
        return q.at(365) - q.level + Z95 * std::sqrt(std::max(v / q.inflation, 0.0)) < 0;
    };
    if (!surelyFalls(p) && !surelyFalls(line)) {
        forecast.status = Forecast::Status::NoDecline;
        return forecast;
    }
    // The first day each of the calibrated paths is at the boundary: the middle one is the date, the low
    // and high ones the band.
    std::optional<int> day, earliest, latest;
    const double above = p.level + season(0) - boundary;
    const auto path = [&](double t, double ForecastAccuracy::Scale::*which) {
        const ForecastAccuracy::Scale k = accuracy.scale(p.model, above, t);
        const double m = k.*which;
        // Wear slower than fitted, as the record saw it (the middle, or the band's late end), is not carried
        // past the record's longest horizon: wear speeds up as it nears the end, and a slowdown seen over
        // months is not one over years. Carried on, a band's late end never reached the boundary.
        const double longest = ForecastAccuracy::Horizons.back();
        const bool held = m > 0 && t > longest;
        return p.at(t) + season(t) + m * p.reach(held ? longest : t);
    };
    // A week at a time, then the days of the week where a path first reaches the boundary: the paths fall
    // nearly monotonously, and a week of them is what a scan of every day spent most of its time on.
    const auto first = [&](double ForecastAccuracy::Scale::*which) -> std::optional<int> {
        for (int week = 0; week <= Forecast::CapDays; week += 7) {
            if (path(std::min(week + 7, Forecast::CapDays), which) > boundary && week + 7 <= Forecast::CapDays)
                continue;
            for (int t = std::max(week, 1); t <= std::min(week + 7, Forecast::CapDays); ++t) {
                if (path(t, which) <= boundary)
                    return t;
            }
        }
        return std::nullopt;
    };
    earliest = first(&ForecastAccuracy::Scale::low);
    if (earliest) {
        day = first(&ForecastAccuracy::Scale::middle);
        if (day)
            latest = first(&ForecastAccuracy::Scale::high);
    }
    if (!day) {
        forecast.status = Forecast::Status::BeyondCap;
        return forecast;
    }
    forecast.status = Forecast::Status::Date;
    forecast.day = s.newestDay + *day;
    forecast.earliestDay = s.newestDay + *earliest;
    if (latest)
        forecast.latestDay = s.newestDay + *latest;
    return forecast;
}

} // namespace NVL::Engineering::VK
