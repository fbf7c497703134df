#include "ForecastTrackRecord.h"

#include "ForecastFit.h"
#include "WearSeries.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace NVL::Engineering::VK {

namespace {

// What a battery reported around a day: the median of its daily points within a week either side, where
// it has at least three. A single week's noise went into every miss, and through the scales into the
// dates and bands of batteries whose wear it said nothing of.
std::optional<double> reportedAround(const WearSeries &s, double x)
{
    std::vector<double> week;
    for (size_t i = 0; i < s.x.size(); ++i) {
        if (std::fabs(s.x[i] - x) <= 7)
            week.push_back(s.y[i] + s.season(s.newestDay + qint64(s.x[i])));
    }
    if (week.size() < 3)
        return std::nullopt;
    const auto mid = week.begin() + std::ptrdiff_t(week.size() / 2);
    std::nth_element(week.begin(), mid, week.end());
    return *mid;
}

} // namespace

ForecastTrackRecord::ForecastTrackRecord(int boundary, const ForecastAccuracy &inForce)
    : m_boundary(boundary)
    , m_inForce(inForce)
{
}

void ForecastTrackRecord::replay(const QList<DailyHealth> &days)
{
    if (days.isEmpty())
        return;
    const WearSeries whole = WearSeries::of(days);
    if (whole.x.empty())
        return;
    ++m_batteries;
    // The first day the battery has been under the boundary for good, when it has been.
    std::optional<double> crossedAt;
    for (size_t i = 0; i + ForecastFit::DropDays <= whole.x.size(); ++i) {
        bool under = true;
        for (size_t j = i; j < i + ForecastFit::DropDays && under; ++j)
            under = whole.y[j] + whole.season(whole.newestDay + qint64(whole.x[j])) <= m_boundary;
        if (under) {
            crossedAt = whole.x[i];
            break;
        }
    }
    const qint64 newest = days.constLast().day;
    for (size_t o = 0; o < ForecastAccuracy::Horizons.size(); ++o) {
        const int origin = ForecastAccuracy::Horizons[o];
        // Exactly the days the forecast had then: the whole pipeline runs again on them.
        QList<DailyHealth> before;
        for (const DailyHealth &d : days) {
            if (d.day <= newest - origin)
                before.append(d);
        }
        // A forecast of the battery before the one now in the radio says nothing of this one.
        if (before.isEmpty() || (whole.riseDay && before.constLast().day < *whole.riseDay))
            continue;
        const WearSeries then = WearSeries::of(before);
        const std::optional<WearProjection> p = ForecastFit::project(then);
        // Only forecasts of the battery now in the radio, made once its rise was told.
        if (!p || then.riseDay != whole.riseDay)
            continue;
        // Already under the boundary then: nothing left to foretell.
        if (crossedAt && *crossedAt <= double(then.newestDay - newest))
            continue;
        const double shift = double(then.newestDay - newest);
        for (size_t h = 0; h < ForecastAccuracy::Horizons.size(); ++h) {
            const double ahead = ForecastAccuracy::Horizons[h];
            if (shift + ahead > 0)
                break;
            const std::optional<double> reported = reportedAround(whole, shift + ahead);
            if (!reported)
                continue;
            const double forecast = p->at(ahead) + then.season(then.newestDay + qint64(ahead));
            const double spread = p->reach(ahead);
            const double score = (*reported - forecast) / spread;
            const double above = p->level + then.season(then.newestDay) - m_boundary;
            const ForecastAccuracy::Scale k = m_inForce.scale(p->model, above, ahead);
            m_collected.add(p->model, above, int(h), score, *reported - forecast, score >= k.low && score <= k.high);
        }
        if (crossedAt) {
            const Forecast then = ForecastFit::fromDays(before, m_boundary, m_inForce);
            if (then.status == Forecast::Status::Date && then.day)
                m_collected.addCrossing(int(o), double(*then.day - (newest + qint64(*crossedAt))));
        }
    }
}

ForecastAccuracy ForecastTrackRecord::accuracy() const
{
    ForecastAccuracy a = m_collected;
    a.finish();
    return a;
}

} // namespace NVL::Engineering::VK
