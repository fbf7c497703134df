#include "ForecastFit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace NVL::Engineering::VK {

namespace {

// Half the width of the running median that tells wild reports from the wear around them: five points,
// so that three reports in a row at a new level carry the median with them and two do not.
constexpr int ScreenReach = 2;
// A bend needs this many days of the newer pace to measure it, and this many before it.
constexpr double BendNewestSpan = 14;
constexpr int BendNewestPoints = 7;
constexpr double BendOlderSpan = 30;
// A change this much less likely than the chosen one is still plausible (chi-square, one degree, 95 %).
constexpr double PlausibleChange = 3.84;
constexpr double Z95 = 1.96;

double median(std::vector<double> values)
{
    const size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(mid), values.end());
    const double upper = values[mid];
    if (values.size() % 2 == 1)
        return upper;
    return (*std::max_element(values.begin(), values.begin() + std::ptrdiff_t(mid)) + upper) / 2.0;
}

// Sums of the points at or after a day, from which every least-squares fit below is solved.
struct Sums
{
    double n = 0, x = 0, xx = 0, y = 0, xy = 0, yy = 0;

    void add(double px, double py)
    {
        n += 1;
        x += px;
        xx += px * px;
        y += py;
        xy += px * py;
        yy += py * py;
    }
};

enum class Shape { Line, Bend, Drop };

// A least-squares fit of level + slope * x (+ change * z), x in days before the newest (<= 0), z the
// bend's (x - at) where positive or the step's 1 from `at` on.
struct Fit
{
    Shape shape = Shape::Line;
    double at = 0;
    int p = 2;
    std::array<double, 3> beta{};
    std::array<std::array<double, 3>, 3> inverse{};
    double sse = 0;
    bool valid = false;

    // The fitted percentage on the newest day and the pace there, as weights of the coefficients.
    std::array<double, 3> levelWeights() const
    {
        if (shape == Shape::Bend)
            return {1, 0, -at};
        return {1, 0, shape == Shape::Drop ? 1.0 : 0.0};
    }
    std::array<double, 3> slopeWeights() const { return {0, 1, shape == Shape::Bend ? 1.0 : 0.0}; }
    static double dot(const std::array<double, 3> &a, const std::array<double, 3> &b)
    {
        return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
    }
    double level() const { return dot(levelWeights(), beta); }
    double slope() const { return dot(slopeWeights(), beta); }
    double covariance(const std::array<double, 3> &a, const std::array<double, 3> &b) const
    {
        double sum = 0;
        for (int i = 0; i < p; ++i)
            for (int j = 0; j < p; ++j)
                sum += a[i] * inverse[i][j] * b[j];
        return sum;
    }
};

// Solves the normal equations of a fit from the sums of all points and of the points from `at` on.
Fit solve(Shape shape, double at, const Sums &all, const Sums &tail, double sseFloor)
{
    Fit fit;
    fit.shape = shape;
    fit.at = at;
    fit.p = shape == Shape::Line ? 2 : 3;
    double g[3][3] = {{all.n, all.x, 0}, {all.x, all.xx, 0}, {0, 0, 1}};
    double v[3] = {all.y, all.xy, 0};
    if (shape == Shape::Bend) {
        g[0][2] = tail.x - at * tail.n;
        g[1][2] = tail.xx - at * tail.x;
        g[2][2] = tail.xx - 2 * at * tail.x + at * at * tail.n;
        v[2] = tail.xy - at * tail.y;
    } else if (shape == Shape::Drop) {
        g[0][2] = tail.n;
        g[1][2] = tail.x;
        g[2][2] = tail.n;
        v[2] = tail.y;
    }
    g[2][0] = g[0][2];
    g[2][1] = g[1][2];
    // The inverse by cofactors: three unknowns at most, and a determinant that tells a degenerate design.
    const double c00 = g[1][1] * g[2][2] - g[1][2] * g[2][1];
    const double c01 = g[1][2] * g[2][0] - g[1][0] * g[2][2];
    const double c02 = g[1][0] * g[2][1] - g[1][1] * g[2][0];
    const double det = g[0][0] * c00 + g[0][1] * c01 + g[0][2] * c02;
    const double scale = all.n * all.xx * (shape == Shape::Line ? 1.0 : std::max(g[2][2], 1.0));
    if (!(std::fabs(det) > 1e-9 * std::max(scale, 1.0)))
        return fit;
    const double inv[3][3] = {
        {c00 / det, (g[0][2] * g[2][1] - g[0][1] * g[2][2]) / det, (g[0][1] * g[1][2] - g[0][2] * g[1][1]) / det},
        {c01 / det, (g[0][0] * g[2][2] - g[0][2] * g[2][0]) / det, (g[0][2] * g[1][0] - g[0][0] * g[1][2]) / det},
        {c02 / det, (g[0][1] * g[2][0] - g[0][0] * g[2][1]) / det, (g[0][0] * g[1][1] - g[0][1] * g[1][0]) / det}};
    double explained = 0;
    for (int i = 0; i < fit.p; ++i) {
        for (int j = 0; j < fit.p; ++j) {
            fit.inverse[i][j] = inv[i][j];
            fit.beta[i] += inv[i][j] * v[j];
        }
        explained += fit.beta[i] * v[i];
    }
    // Whole percentages leave at least their rounding unexplained.
    fit.sse = std::max(all.yy - explained, sseFloor);
    fit.valid = true;
    return fit;
}

// Days after the newest on which the fit reaches the boundary, and the 95 % half-width of that day
// from the fit's own uncertainty (delta method); empty when the fit does not fall.
struct Crossing
{
    double days = 0;
    double spread = 0;
    bool sureDecline = false;
};

std::optional<Crossing> crossingOf(const Fit &fit, double variance, int boundary)
{
    const double slope = fit.slope();
    if (!(slope < 0))
        return std::nullopt;
    const auto lw = fit.levelWeights();
    const auto sw = fit.slopeWeights();
    const double x = (double(boundary) - fit.level()) / slope;
    const double spread = Z95
        * std::sqrt(std::max(0.0, variance * (fit.covariance(lw, lw) + x * x * fit.covariance(sw, sw) + 2 * x * fit.covariance(lw, sw))))
        / std::fabs(slope);
    Crossing c;
    c.days = std::max(x, 0.0);
    c.spread = spread;
    c.sureDecline = slope + Z95 * std::sqrt(std::max(0.0, variance * fit.covariance(sw, sw))) < 0;
    return c;
}

} // namespace

Forecast ForecastFit::fromDays(const QList<DailyHealth> &days, int boundary)
{
    Forecast forecast;
    std::vector<DailyHealth> fitted;
    const qint64 newest = days.isEmpty() ? 0 : days.constLast().day;
    for (const DailyHealth &d : days) {
        if (d.percent <= 100 && d.day > newest - Forecast::FittedDays)
            fitted.push_back(d);
    }
    forecast.days = int(fitted.size());
    // Already there takes several daily reports at or under the boundary: one low report is noise.
    const auto newestAtBoundary = [boundary](const std::vector<DailyHealth> &points) {
        const size_t needed = std::min(points.size(), size_t(DropDays));
        return needed > 0 && std::all_of(points.end() - std::ptrdiff_t(needed), points.end(),
                                         [boundary](const DailyHealth &d) { return d.percent <= boundary; });
    };
    if (fitted.size() < size_t(Forecast::MinimumDays) || fitted.back().day - fitted.front().day < Forecast::MinimumSpanDays) {
        if (newestAtBoundary(fitted))
            forecast.status = Forecast::Status::Now;
        return forecast;
    }

    // Wild reports stand out from the median of their neighbours; wear, a bend or a fall that lasts
    // three days moves that median along. Three robust standard deviations, never under two points.
    const size_t n = fitted.size();
    std::vector<double> deviations(n);
    for (size_t i = 0; i < n; ++i) {
        const size_t first = std::min(i > size_t(ScreenReach) ? i - ScreenReach : 0, n - 1 - 2 * ScreenReach);
        std::vector<double> window;
        for (size_t j = first; j <= first + 2 * ScreenReach; ++j)
            window.push_back(fitted[j].percent);
        deviations[i] = fitted[i].percent - median(window);
    }
    std::vector<double> absolute(n);
    std::transform(deviations.begin(), deviations.end(), absolute.begin(), [](double v) { return std::fabs(v); });
    const double limit = std::max(3.0 * 1.4826 * median(absolute), 2.0);
    std::vector<DailyHealth> kept;
    for (size_t i = 0; i < n; ++i) {
        if (std::fabs(deviations[i]) <= limit)
            kept.push_back(fitted[i]);
    }
    forecast.days = int(kept.size());
    if (kept.size() < size_t(Forecast::MinimumDays)) {
        if (newestAtBoundary(kept))
            forecast.status = Forecast::Status::Now;
        return forecast;
    }

    // Sums from each point to the newest, so that every break is fitted in constant time.
    const qint64 lastDay = kept.back().day;
    const size_t m = kept.size();
    std::vector<Sums> tails(m + 1);
    for (size_t i = m; i-- > 0;) {
        tails[i] = tails[i + 1];
        tails[i].add(double(kept[i].day - lastDay), kept[i].percent);
    }
    const Sums &all = tails[0];
    const double sseFloor = all.n / 48.0;
    const double firstX = double(kept.front().day - lastDay);

    const Fit line = solve(Shape::Line, 0, all, {}, sseFloor);
    if (!line.valid)
        return forecast;
    std::vector<Fit> changes; // every bend and every step the data allow
    for (size_t i = 1; i < m; ++i) {
        const double at = double(kept[i].day - lastDay);
        const Sums &tail = tails[i];
        if (-at >= BendNewestSpan && tail.n >= BendNewestPoints && at - firstX >= BendOlderSpan) {
            const Fit bend = solve(Shape::Bend, at, all, tail, sseFloor);
            if (bend.valid)
                changes.push_back(bend);
        }
        if (tail.n >= DropDays && double(i) >= Forecast::MinimumDays) {
            const Fit step = solve(Shape::Drop, at, all, tail, sseFloor);
            if (step.valid)
                changes.push_back(step);
        }
    }
    const auto evidence = [&all](const Fit &simpler, const Fit &richer) { return all.n * std::log(simpler.sse / richer.sse); };
    const Fit *chosen = &line;
    for (const Fit &change : changes) {
        if (change.sse < chosen->sse)
            chosen = &change;
    }
    if (chosen != &line && evidence(line, *chosen) < ChangeEvidence)
        chosen = &line;

    const double variance = chosen->sse / std::max(all.n - chosen->p, 1.0);
    forecast.slopePerYear = chosen->slope() * 365.0;
    forecast.level = chosen->level();
    if (chosen->shape != Shape::Line) {
        forecast.model = chosen->shape == Shape::Bend ? Forecast::Model::Bend : Forecast::Model::Drop;
        forecast.sinceDay = lastDay + qint64(chosen->at);
        forecast.priorSlopePerYear = chosen->beta[1] * 365.0;
        forecast.priorLevel = chosen->beta[0] + chosen->beta[1] * chosen->at;
    }

    if (forecast.level <= boundary || newestAtBoundary(kept)) {
        forecast.status = Forecast::Status::Now;
        return forecast;
    }
    // A fall the fit cannot tell from no fall gives no date: noise on a flat battery would otherwise give
    // it one half of the time.
    const auto crossing = crossingOf(*chosen, variance, boundary);
    if (!crossing || !crossing->sureDecline) {
        forecast.status = Forecast::Status::NoDecline;
        return forecast;
    }
    if (crossing->days > Forecast::CapDays) {
        forecast.status = Forecast::Status::BeyondCap;
        return forecast;
    }
    forecast.status = Forecast::Status::Date;
    forecast.day = lastDay + qint64(std::ceil(crossing->days));

    // The band spans the crossings of every break the data cannot tell from the chosen one, each with
    // its own uncertainty: where the place of a bend is in doubt, so is the date.
    double earliest = crossing->days - crossing->spread;
    double latest = crossing->days + crossing->spread;
    if (chosen != &line) {
        for (const Fit &change : changes) {
            if (change.shape != chosen->shape || evidence(change, *chosen) > PlausibleChange)
                continue;
            const auto other = crossingOf(change, change.sse / std::max(all.n - change.p, 1.0), boundary);
            if (!other) {
                latest = HUGE_VAL;
                continue;
            }
            earliest = std::min(earliest, other->days - other->spread);
            latest = std::max(latest, other->sureDecline ? other->days + other->spread : HUGE_VAL);
        }
    }
    forecast.earliestDay = lastDay + qint64(std::ceil(std::max(earliest, 0.0)));
    if (latest <= Forecast::CapDays)
        forecast.latestDay = lastDay + qint64(std::ceil(latest));
    return forecast;
}

} // namespace NVL::Engineering::VK
