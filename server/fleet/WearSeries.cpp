#include "WearSeries.h"

#include "LeastSquares.h"

#include <algorithm>
#include <cmath>

namespace NVL::Engineering::VK {

namespace {

// Half the width of the running median that tells wild reports from the wear around them: five points,
// so that three reports in a row at a new level carry the median with them and two do not.
constexpr size_t ScreenReach = 2;
// Half the width of the one that tells a dip from a new level: a level that holds for more than this
// carries it, a dip of DipDays does not.
constexpr size_t DipReach = 10;
constexpr double TwoPi = 6.283185307179586;
constexpr double SeasonDays = 365.25;

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    const size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(mid), values.end());
    const double upper = values[mid];
    if (values.size() % 2 == 1)
        return upper;
    return (*std::max_element(values.begin(), values.begin() + std::ptrdiff_t(mid)) + upper) / 2.0;
}

// Each value less the median of the values within `reach` of it (a window that keeps its width at the
// ends, where it can). The window slides: a value leaves and one comes, kept in order.
std::vector<double> offMedian(const std::vector<double> &y, size_t reach, bool centred)
{
    const size_t n = y.size();
    std::vector<double> out(n);
    std::vector<double> window;
    window.reserve(2 * reach + 1);
    size_t from = 0, to = 0; // the window holds y[from, to)
    for (size_t i = 0; i < n; ++i) {
        size_t first = i > reach ? i - reach : 0;
        size_t last = std::min(n - 1, i + reach);
        if (!centred && n > 2 * reach) // the same width everywhere: the ends lean inwards
            first = std::min(first, n - 1 - 2 * reach), last = first + 2 * reach;
        for (; from < first; ++from)
            window.erase(std::lower_bound(window.begin(), window.end(), y[from]));
        for (; to <= last; ++to)
            window.insert(std::upper_bound(window.begin(), window.end(), y[to]), y[to]);
        const size_t mid = window.size() / 2;
        const double median = window.size() % 2 == 1 ? window[mid] : (window[mid - 1] + window[mid]) / 2.0;
        out[i] = y[i] - median;
    }
    return out;
}

double robustSpread(const std::vector<double> &deviations)
{
    std::vector<double> absolute(deviations.size());
    std::transform(deviations.begin(), deviations.end(), absolute.begin(), [](double v) { return std::fabs(v); });
    return 1.4826 * median(absolute);
}

} // namespace

double WearSeries::season(qint64 day) const
{
    if (seasonSin == 0 && seasonCos == 0)
        return 0;
    const double phase = TwoPi * double(day) / SeasonDays;
    return seasonSin * std::sin(phase) + seasonCos * std::cos(phase);
}

WearSeries WearSeries::of(const QList<DailyHealth> &days)
{
    WearSeries s;
    if (days.isEmpty())
        return s;
    s.newestDay = days.constLast().day;
    std::vector<qint64> day;
    std::vector<double> y;
    for (const DailyHealth &d : days) {
        if (d.percent <= 100 && d.day > s.newestDay - SeasonReadDays) {
            day.push_back(d.day);
            y.push_back(d.percent);
        }
    }
    for (size_t i = y.size() >= size_t(RiseHoldDays) ? y.size() - RiseHoldDays : 0; i < y.size(); ++i)
        s.newest.push_back(int(y[i]));

    // The newest rise that holds: over the upper quartile of the month before it, so that the end of a
    // dip (whose month is mostly at the old level) is no rise.
    for (size_t i = y.size() >= size_t(RiseHoldDays) ? y.size() - RiseHoldDays : 0; i-- > 1;) {
        const double before = *std::max_element(y.begin() + std::ptrdiff_t(i >= 3 ? i - 3 : 0), y.begin() + std::ptrdiff_t(i));
        if (y[i] < before + RisePoints / 2.0)
            continue;
        std::vector<double> month;
        for (size_t j = i; j-- > 0 && day[j] >= day[i] - 30;)
            month.push_back(y[j]);
        if (month.size() < 5)
            continue;
        std::nth_element(month.begin(), month.begin() + std::ptrdiff_t(month.size() * 3 / 4), month.end());
        const double upper = month[month.size() * 3 / 4];
        const auto hold = y.begin() + std::ptrdiff_t(i);
        const std::vector<double> after(hold, hold + std::ptrdiff_t(std::min<size_t>(y.size() - i, 7)));
        if (*std::min_element(hold, hold + RiseHoldDays) >= upper + RisePoints / 2.0 && median(after) >= upper + RisePoints) {
            s.riseDay = day[i];
            std::vector<double> week(y.begin() + std::ptrdiff_t(i >= 7 ? i - 7 : 0), hold);
            s.riseFrom = median(week);
            day.erase(day.begin(), day.begin() + std::ptrdiff_t(i));
            y.erase(y.begin(), hold);
            break;
        }
    }

    // Wild reports stand out from the median of their neighbours; three robust standard deviations,
    // never under two points.
    std::vector<bool> keep(y.size(), true);
    if (y.size() > 2 * ScreenReach) {
        const std::vector<double> wild = offMedian(y, ScreenReach, false);
        const double limit = std::max(3.0 * robustSpread(wild), 2.0);
        for (size_t i = 0; i < y.size(); ++i)
            keep[i] = std::fabs(wild[i]) <= limit;
    }
    // A run of days off the level around them that ended with the level back is a dip, not wear. A run
    // that reaches the newest day is left to the fit: it may be a new level.
    if (y.size() > 2 * DipReach) {
        const std::vector<double> off = offMedian(y, DipReach, true);
        const double limit = std::max(4.0 * robustSpread(off), 3.0);
        size_t i = 0;
        while (i < y.size()) {
            if (std::fabs(off[i]) <= limit) {
                ++i;
                continue;
            }
            size_t end = i;
            while (end < y.size() && std::fabs(off[end]) > limit && (off[end] > 0) == (off[i] > 0))
                ++end;
            if (end + RiseHoldDays <= y.size() && day[end - 1] - day[i] < DipDays) {
                for (size_t j = i; j < end; ++j)
                    keep[j] = false;
            }
            i = end;
        }
    }
    std::vector<qint64> keptDay;
    std::vector<double> keptY;
    for (size_t i = 0; i < y.size(); ++i) {
        if (day[i] > s.newestDay - Forecast::FittedDays)
            ++s.readDays;
        if (keep[i]) {
            keptDay.push_back(day[i]);
            keptY.push_back(y[i]);
        }
    }

    // A yearly swing, where the history spans enough of two years to tell it from wear that speeds up.
    if (!keptDay.empty() && keptDay.back() - keptDay.front() >= SeasonMinimumSpan) {
        LeastSquares fit(5);
        const double mid = double(keptDay.front() + keptDay.back()) / 2, half = double(keptDay.back() - keptDay.front()) / 2;
        for (size_t i = 0; i < keptDay.size(); ++i) {
            const double t = (double(keptDay[i]) - mid) / half, phase = TwoPi * double(keptDay[i]) / SeasonDays;
            fit.add({1, t, t * t, std::sin(phase), std::cos(phase)}, keptY[i]);
        }
        if (fit.solve()) {
            const double amplitude = std::hypot(fit.beta(3), fit.beta(4));
            // Its standard error, from the two coefficients' variances (nearly independent over two years).
            const double error = std::sqrt((fit.covariance(3, 3) + fit.covariance(4, 4)) / 2);
            if (amplitude >= 1.0 && amplitude >= 4 * error) {
                s.seasonSin = fit.beta(3);
                s.seasonCos = fit.beta(4);
                for (size_t i = 0; i < keptDay.size(); ++i)
                    keptY[i] -= s.season(keptDay[i]);
            }
        }
    }
    for (size_t i = 0; i < keptDay.size(); ++i) {
        s.x.push_back(double(keptDay[i] - s.newestDay));
        s.y.push_back(keptY[i]);
    }
    return s;
}

WearSeries WearSeries::upTo(double at) const
{
    WearSeries s;
    s.riseDay = riseDay;
    s.riseFrom = riseFrom;
    s.seasonSin = seasonSin;
    s.seasonCos = seasonCos;
    const auto end = std::upper_bound(x.begin(), x.end(), at);
    const size_t n = size_t(end - x.begin());
    if (n == 0)
        return s;
    const double shift = x[n - 1];
    s.newestDay = newestDay + qint64(shift);
    for (size_t i = 0; i < n; ++i) {
        s.x.push_back(x[i] - shift);
        s.y.push_back(y[i]);
        s.readDays += s.x.back() > -Forecast::FittedDays ? 1 : 0;
    }
    for (size_t i = n >= size_t(RiseHoldDays) ? n - RiseHoldDays : 0; i < n; ++i)
        s.newest.push_back(int(std::lround(y[i] + season(newestDay + qint64(x[i])))));
    return s;
}

} // namespace NVL::Engineering::VK
