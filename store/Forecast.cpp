#include "Forecast.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace NVL::Engineering::VK {

namespace {

double median(std::vector<double> &values)
{
    const size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(mid), values.end());
    const double upper = values[mid];
    if (values.size() % 2 == 1)
        return upper;
    return (*std::max_element(values.begin(), values.begin() + std::ptrdiff_t(mid)) + upper) / 2.0;
}

// Day on which a line through `level` on `lastDay` with `slope` per day reaches the boundary; empty when
// it does not fall or only after the cap.
std::optional<qint64> crossing(double level, double slope, int boundary, qint64 lastDay)
{
    if (!(slope < 0))
        return std::nullopt;
    const double after = (double(boundary) - level) / slope;
    if (after > Forecast::CapDays)
        return std::nullopt;
    return lastDay + qint64(std::ceil(std::max(after, 0.0)));
}

} // namespace

Forecast Forecast::fromDays(const QList<DailyHealth> &days, int boundary)
{
    Forecast forecast;
    std::vector<DailyHealth> fitted;
    const qint64 newest = days.isEmpty() ? 0 : days.constLast().day;
    for (const DailyHealth &d : days) {
        if (d.percent <= 100 && d.day > newest - FittedDays)
            fitted.push_back(d);
    }
    forecast.days = int(fitted.size());
    if (fitted.size() < size_t(MinimumDays) || fitted.back().day - fitted.front().day < MinimumSpanDays) {
        // Without a fit only the newest report tells whether the battery is already there.
        if (!fitted.empty() && fitted.back().percent <= boundary)
            forecast.status = Status::Now;
        return forecast;
    }

    // Theil-Sen first: the median of the pairwise slopes is not moved by a minority of wild reports.
    // Its residuals tell those reports apart; the rest are fitted by least squares, which makes more of
    // ordinary noise than medians do and gives the spread of the date.
    const size_t n = fitted.size();
    const qint64 lastDay = fitted.back().day;
    std::vector<double> values;
    values.reserve(n * (n - 1) / 2);
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = i + 1; j < n; ++j)
            values.push_back(double(fitted[j].percent - fitted[i].percent) / double(fitted[j].day - fitted[i].day));
    }
    const double robustSlope = median(values);
    std::vector<double> residuals;
    residuals.reserve(n);
    for (const DailyHealth &d : fitted)
        residuals.push_back(double(d.percent) - robustSlope * double(d.day - lastDay));
    values = residuals;
    const double robustLevel = median(values);
    for (double &v : values)
        v = std::fabs(v - robustLevel);
    // Three robust standard deviations, but never less than two points: percentages are whole numbers.
    const double limit = std::max(3.0 * 1.4826 * median(values), 2.0);

    double count = 0, sumX = 0, sumY = 0;
    for (size_t i = 0; i < n; ++i) {
        if (std::fabs(residuals[i] - robustLevel) > limit)
            continue;
        count += 1;
        sumX += double(fitted[i].day - lastDay);
        sumY += fitted[i].percent;
    }
    const double meanX = sumX / count;
    const double meanY = sumY / count;
    double sxx = 0, sxy = 0;
    for (size_t i = 0; i < n; ++i) {
        if (std::fabs(residuals[i] - robustLevel) > limit)
            continue;
        const double dx = double(fitted[i].day - lastDay) - meanX;
        sxx += dx * dx;
        sxy += dx * (fitted[i].percent - meanY);
    }
    if (count < MinimumDays || sxx <= 0) {
        forecast.days = int(count);
        return forecast;
    }
    const double slope = sxy / sxx;
    const double level = meanY - slope * meanX; // on the newest day
    double squares = 0;
    for (size_t i = 0; i < n; ++i) {
        if (std::fabs(residuals[i] - robustLevel) > limit)
            continue;
        const double r = fitted[i].percent - (level + slope * double(fitted[i].day - lastDay));
        squares += r * r;
    }
    forecast.days = int(count);
    forecast.slopePerYear = slope * 365.0;
    forecast.level = level;

    // Already there by the fit, or by the newest report when the fit does not count it as wild: a
    // battery its class calls Poor must not be promised a later date.
    const bool newestTrusted = std::fabs(residuals[n - 1] - robustLevel) <= limit;
    if (level <= boundary || (newestTrusted && fitted.back().percent <= boundary)) {
        forecast.status = Status::Now;
        return forecast;
    }
    if (!(slope < 0)) {
        forecast.status = Status::NoDecline;
        return forecast;
    }
    forecast.day = crossing(level, slope, boundary, lastDay);
    if (!forecast.day) {
        forecast.status = Status::BeyondCap;
        return forecast;
    }
    forecast.status = Status::Date;

    // The plausible range: 95 % of the crossing's spread from the fit's own uncertainty (delta method).
    const double variance = squares / (count - 2);
    const double slopeVariance = variance / sxx;
    const double x = (double(boundary) - level) / slope;
    const double levelVariance = variance * (1.0 / count + meanX * meanX / sxx);
    const double covariance = -meanX * variance / sxx;
    const double spread = 1.96 * std::sqrt(std::max(0.0, levelVariance + x * x * slopeVariance + 2 * x * covariance))
        / std::fabs(slope);
    forecast.earliestDay = lastDay + qint64(std::ceil(std::max(x - spread, 0.0)));
    // Without a sure decline there is no latest date; nor after the cap.
    if (slope + 1.96 * std::sqrt(slopeVariance) < 0 && x + spread <= CapDays)
        forecast.latestDay = lastDay + qint64(std::ceil(x + spread));
    return forecast;
}

const char *Forecast::statusName(Status status)
{
    switch (status) {
    case Status::NotEnoughHistory: return "not-enough-history";
    case Status::NoDecline: return "no-decline";
    case Status::Now: return "now";
    case Status::Date: return "date";
    case Status::BeyondCap: return "beyond-cap";
    }
    return "not-enough-history";
}

} // namespace NVL::Engineering::VK
