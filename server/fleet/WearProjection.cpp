#include "WearProjection.h"

#include "WearSeries.h"

#include <algorithm>
#include <cmath>

namespace NVL::Engineering::VK {

namespace {

// Fits run in years, so that the squares of a year's days keep their precision.
constexpr double Year = 365.0;
// A bend needs this many days of the newer pace to measure it, and this many before it.
constexpr double BendNewestSpan = 14;
constexpr int BendNewestPoints = 7;
constexpr double BendOlderSpan = 30;
// A step jumps by at least this many times the line's noise and this many points.
constexpr double StepNoises = 4;
constexpr double StepPoints = 4;
// A step's newer part has a pace of its own once it is this long.
constexpr double StepPaceSpan = 14;
constexpr int StepPacePoints = 7;
// A change of pace or level enters the choice only where it explains this much more of the year than
// one line does (the log-likelihood ratio of the fits): on steady batteries a break found by chance
// stays under it.
constexpr double ChangeEvidence = 16.0;
// A curve enters at a little over half of that: wear that speeds up shows little evidence while it is
// young, and the choice between shapes still has to find it the better predictor of the battery's own
// newest weeks. Lower, a curve found by chance on a steady fade with wild reports moves its date.
constexpr double CurveEvidence = 9.0;
// The newest stretch a recent line is fitted over, and the shortest history a curve is fitted on.
constexpr double RecentDays = 90;
constexpr double RecentDoubts = 1.0;
constexpr double CurveSpan = 120;
constexpr int CurvePoints = 30;

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
    Sums operator-(const Sums &o) const { return {n - o.n, x - o.x, xx - o.xx, y - o.y, xy - o.xy, yy - o.yy}; }
    // The least-squares line of these points: intercept at x = 0, slope, and their residual sum.
    struct Line
    {
        double a = 0, b = 0, sse = 0, sxx = 0;
        bool valid = false;
    };
    Line line() const
    {
        Line l;
        if (n < 3)
            return l;
        l.sxx = xx - x * x / n;
        if (!(l.sxx > 1e-12 * std::max(xx, 1e-300)))
            return l;
        l.b = (xy - x * y / n) / l.sxx;
        l.a = (y - l.b * x) / n;
        l.sse = std::max(yy - l.a * y - l.b * xy, 0.0);
        l.valid = true;
        return l;
    }
    double mean() const { return n > 0 ? y / n : 0; }
    double sseOfMean() const { return n > 0 ? std::max(yy - y * y / n, 0.0) : 0; }
};

using Matrix = std::array<std::array<double, 3>, 3>;

// The higher sums a curve's fit needs besides Sums.
struct Moments
{
    double xxx = 0, xxxx = 0, xxy = 0;

    void add(double px, double py)
    {
        xxx += px * px * px;
        xxxx += px * px * px * px;
        xxy += px * px * py;
    }
};

// Three coefficients from their normal equations by cofactors, with the inverse for their covariance.
struct Solved
{
    std::array<double, 3> beta{};
    Matrix inverse{};
    double sse = 0;
    bool valid = false;
};

Solved solve3(const Matrix &g, const std::array<double, 3> &v, double yy)
{
    Solved s;
    const double c00 = g[1][1] * g[2][2] - g[1][2] * g[2][1];
    const double c01 = g[1][2] * g[2][0] - g[1][0] * g[2][2];
    const double c02 = g[1][0] * g[2][1] - g[1][1] * g[2][0];
    const double det = g[0][0] * c00 + g[0][1] * c01 + g[0][2] * c02;
    // A determinant that vanishes against the diagonal's scale: a design the points cannot tell apart.
    if (!(std::fabs(det) > 1e-10 * std::max(1e-300, g[0][0] * g[1][1] * g[2][2])))
        return s;
    s.inverse = {{{c00 / det, (g[0][2] * g[2][1] - g[0][1] * g[2][2]) / det, (g[0][1] * g[1][2] - g[0][2] * g[1][1]) / det},
                  {c01 / det, (g[0][0] * g[2][2] - g[0][2] * g[2][0]) / det, (g[0][2] * g[1][0] - g[0][0] * g[1][2]) / det},
                  {c02 / det, (g[0][1] * g[2][0] - g[0][0] * g[2][1]) / det, (g[0][0] * g[1][1] - g[0][1] * g[1][0]) / det}}};
    double explained = 0;
    for (size_t r = 0; r < 3; ++r) {
        for (size_t c = 0; c < 3; ++c)
            s.beta[r] += s.inverse[r][c] * v[c];
        explained += s.beta[r] * v[r];
    }
    s.sse = std::max(yy - explained, 0.0);
    s.valid = true;
    return s;
}

// The covariance of (level, slope, curve) per day from that of fitted coefficients in years: T C T',
// for the first `rows` rows of T.
Matrix transformed(const Matrix &c, const Matrix &t, int rows)
{
    Matrix out{};
    const double unit[3] = {1, 1 / Year, 1 / (Year * Year)};
    for (int r = 0; r < rows; ++r)
        for (int q = 0; q < rows; ++q) {
            double sum = 0;
            for (size_t i = 0; i < 3; ++i)
                for (size_t j = 0; j < 3; ++j)
                    sum += t[size_t(r)][i] * c[i][j] * t[size_t(q)][j];
            out[size_t(r)][size_t(q)] = sum * unit[r] * unit[q];
        }
    return out;
}

// The covariance of the line through (mean x, mean y) at x = 0, per day from years.
Matrix lineCovariance(const Sums &s, const Sums::Line &l, double variance)
{
    Matrix c{};
    const double mx = s.x / s.n;
    c[0][0] = variance * (1.0 / s.n + mx * mx / l.sxx);
    c[0][1] = c[1][0] = -variance * mx / l.sxx / Year;
    c[1][1] = variance / l.sxx / (Year * Year);
    return c;
}

// Residuals of the projection over the points it was fitted on, for the noise and its correlation from
// one day to the next: whole percentages and slow drifts leave errors that are not independent, and
// a band that takes them as such is too narrow.
void finish(WearProjection &p, const WearSeries &s, size_t first, int terms, const std::vector<double> &fitted)
{
    double sum = 0, lagged = 0, squares = 0;
    for (size_t i = first; i < s.x.size(); ++i) {
        const double r = s.y[i] - fitted[i - first];
        squares += r * r;
        if (i > first && s.x[i] - s.x[i - 1] <= 1.5)
            lagged += r * (s.y[i - 1] - fitted[i - 1 - first]);
        sum += r;
    }
    const double n = double(s.x.size() - first);
    p.points = int(n);
    p.sse = squares;
    // Whole percentages leave at least their rounding unexplained.
    const double variance = std::max(squares, n / 12.0) / std::max(n - terms, 1.0);
    p.noise = std::sqrt(variance);
    const double rho = squares > 0 ? std::clamp(lagged / squares, 0.0, 0.9) : 0.0;
    p.inflation = (1 + rho) / (1 - rho);
    for (auto &row : p.covariance)
        for (double &v : row)
            v *= p.inflation;
}

size_t firstInSpan(const WearSeries &s, double span)
{
    return size_t(std::upper_bound(s.x.begin(), s.x.end(), -span) - s.x.begin());
}

} // namespace

double WearProjection::spread(double t) const
{
    const double g[3] = {1, t, t * t};
    double v = 0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            v += g[i] * covariance[size_t(i)][size_t(j)] * g[j];
    return std::sqrt(std::max(v, 0.0));
}

double WearProjection::reach(double t) const
{
    return spread(t) + std::fabs(at(t) - level);
}

std::vector<WearProjection> WearProjection::fits(const WearSeries &s, unsigned wanted)
{
    const auto want = [wanted](Forecast::Model m) { return (wanted >> int(m)) & 1u; };
    std::vector<WearProjection> out;
    const size_t first = firstInSpan(s, Forecast::FittedDays);
    const size_t n = s.x.size() - first;
    if (n < size_t(Forecast::MinimumDays) || s.x.back() - s.x[first] < Forecast::MinimumSpanDays)
        return out;
    const auto at = [&](size_t i) { return s.x[first + i] / Year; };
    const auto value = [&](size_t i) { return s.y[first + i]; };

    // Sums from each point to the newest, so that every break is fitted in constant time.
    std::vector<Sums> tails(n + 1);
    for (size_t i = n; i-- > 0;) {
        tails[i] = tails[i + 1];
        tails[i].add(at(i), value(i));
    }
    const Sums &all = tails[0];
    const Sums::Line line = all.line();
    if (!line.valid)
        return out;
    std::vector<double> fitted(n);
    {
        WearProjection p;
        p.model = Forecast::Model::Line;
        p.level = line.a;
        p.slope = line.b / Year;
        for (size_t i = 0; i < n; ++i)
            fitted[i] = line.a + line.b * at(i);
        p.covariance = lineCovariance(all, line, 1.0);
        finish(p, s, first, 2, fitted);
        for (auto &row : p.covariance)
            for (double &v : row)
                v *= p.noise * p.noise;
        out.push_back(p);
    }
    const double lineSse = std::max(line.sse, all.n / 12.0);
    const auto evidence = [&](double sse) { return all.n * std::log(lineSse / std::max(sse, all.n / 12.0)); };
    const auto scaled = [](WearProjection &p) {
        for (auto &row : p.covariance)
            for (double &v : row)
                v *= p.noise * p.noise;
    };

    // The newest stretch alone, where the history is much longer than it.
    if (want(Forecast::Model::Recent) && s.x[first] < -RecentDays * 1.3) {
        const size_t recent = firstInSpan(s, RecentDays) - first;
        const Sums tail = tails[recent];
        const Sums::Line l = tail.line();
        if (l.valid && tail.n >= Forecast::MinimumDays) {
            WearProjection p;
            p.model = Forecast::Model::Recent;
            p.level = l.a;
            p.slope = l.b / Year;
            p.sinceDay = s.newestDay + qint64(s.x[first + recent]);
            std::vector<double> f(n - recent);
            for (size_t i = recent; i < n; ++i)
                f[i - recent] = l.a + l.b * at(i);
            p.covariance = lineCovariance(tail, l, 1.0);
            finish(p, s, first + recent, 2, f);
            scaled(p);
            // Only a pace faster than the year's by more than both fits' doubt: on a steady battery the shorter
            // fit would only add its noise, and wear that slowed is planned for at the year's pace.
            const WearProjection &year = out.front();
            if (std::fabs(p.slope - year.slope)
                > RecentDoubts * std::sqrt(p.covariance[1][1] / p.inflation + year.covariance[1][1] / year.inflation))
                out.push_back(p);
        }
    }

    // Wear that speeds up from a knee on: a line, then loss growing with the square of the time since
    // the knee (from the first point: a parabola). Taken only where it bends down.
    if (want(Forecast::Model::Curve) && all.n >= CurvePoints && s.x.back() - s.x[first] >= CurveSpan) {
        std::vector<Moments> upper(n + 1);
        for (size_t i = n; i-- > 0;) {
            upper[i] = upper[i + 1];
            upper[i].add(at(i), value(i));
        }
        double best = HUGE_VAL;
        size_t kneeAt = n;
        Solved chosen;
        for (size_t i = 0; i + 1 < n; ++i) {
            const double k = at(i);
            const Sums &tail = tails[i];
            const Moments &m = upper[i];
            if (-k * Year < BendNewestSpan || tail.n < BendNewestPoints || (i > 0 && (k - at(0)) * Year < BendOlderSpan))
                continue;
            const double u2 = tail.xx - 2 * k * tail.x + k * k * tail.n;
            const double xu2 = m.xxx - 2 * k * tail.xx + k * k * tail.x;
            const double u4 = m.xxxx - 4 * k * m.xxx + 6 * k * k * tail.xx - 4 * k * k * k * tail.x + k * k * k * k * tail.n;
            const double yu2 = m.xxy - 2 * k * tail.xy + k * k * tail.y;
            const Solved fit = solve3({{{all.n, all.x, u2}, {all.x, all.xx, xu2}, {u2, xu2, u4}}}, {all.y, all.xy, yu2}, all.yy);
            if (fit.valid && fit.beta[2] < 0 && fit.sse < best) {
                best = fit.sse;
                kneeAt = i;
                chosen = fit;
            }
        }
        if (kneeAt < n && evidence(best) >= CurveEvidence) {
            const double k = at(kneeAt);
            const auto &b = chosen.beta;
            WearProjection p;
            p.model = Forecast::Model::Curve;
            p.evidence = evidence(best);
            p.level = b[0] + b[2] * k * k;
            p.slope = (b[1] - 2 * b[2] * k) / Year;
            p.curve = b[2] / (Year * Year);
            if (kneeAt > 0) {
                p.sinceDay = s.newestDay + qint64(std::lround(k * Year));
                p.priorLevel = b[0] + b[1] * k;
                p.priorSlope = b[1] / Year;
            }
            p.covariance = transformed(chosen.inverse, {{{1, 0, k * k}, {0, 1, -2 * k}, {0, 0, 1}}}, 3);
            for (size_t i = 0; i < n; ++i)
                fitted[i] = b[0] + b[1] * at(i) + (i >= kneeAt ? b[2] * (at(i) - k) * (at(i) - k) : 0);
            finish(p, s, first, 3, fitted);
            scaled(p);
            out.push_back(p);
        }
    }

    // The best bend and the best step of the year, each where it explains enough more than the line.
    const double firstX = at(0);
    double bestBend = HUGE_VAL, bestStep = HUGE_VAL;
    size_t bendAt = 0, stepAt = 0;
    Solved bend;
    for (size_t i = 1; i < n; ++i) {
        const double t0 = at(i);
        const Sums &tail = tails[i];
        if (want(Forecast::Model::Bend) && -t0 * Year >= BendNewestSpan && tail.n >= BendNewestPoints && (t0 - firstX) * Year >= BendOlderSpan) {
            // Regressors 1, t and (t - t0) where positive.
            const Solved fit = solve3({{{all.n, all.x, tail.x - t0 * tail.n},
                                        {all.x, all.xx, tail.xx - t0 * tail.x},
                                        {tail.x - t0 * tail.n, tail.xx - t0 * tail.x, tail.xx - 2 * t0 * tail.x + t0 * t0 * tail.n}}},
                                      {all.y, all.xy, tail.xy - t0 * tail.y}, all.yy);
            if (fit.valid && fit.sse < bestBend) {
                bestBend = fit.sse;
                bendAt = i;
                bend = fit;
            }
        }
        if (want(Forecast::Model::Drop) && tail.n >= Forecast::MinimumDays / 3.0 && double(i) >= Forecast::MinimumDays) {
            const Sums head = all - tail;
            const Sums::Line before = head.line();
            const Sums::Line after = tail.line();
            const bool paced = tail.n >= StepPacePoints && -t0 * Year >= StepPaceSpan && after.valid;
            const double sse = before.sse + (paced ? after.sse : tail.sseOfMean());
            // A step is a jump the noise cannot make: wear that speeds up gradually is a curve's or a bend's.
            const double newer = paced ? after.a + after.b * t0 : tail.mean();
            const double jump = std::fabs(before.a + before.b * t0 - newer);
            const double noise = std::sqrt(std::max(line.sse, all.n / 12.0) / all.n);
            if (before.valid && sse < bestStep && jump >= std::max(StepNoises * noise, StepPoints)) {
                bestStep = sse;
                stepAt = i;
            }
        }
    }
    if (bendAt > 0 && evidence(bestBend) >= ChangeEvidence) {
        const double t0 = at(bendAt);
        WearProjection p;
        p.model = Forecast::Model::Bend;
        p.evidence = evidence(bestBend);
        const auto &b = bend.beta;
        p.level = b[0] - b[2] * t0;
        p.slope = (b[1] + b[2]) / Year;
        p.sinceDay = s.newestDay + qint64(std::lround(t0 * Year));
        p.priorLevel = b[0] + b[1] * t0;
        p.priorSlope = b[1] / Year;
        p.covariance = transformed(bend.inverse, {{{1, 0, -t0}, {0, 1, 1}, {0, 0, 0}}}, 2);
        for (size_t i = 0; i < n; ++i)
            fitted[i] = b[0] + b[1] * at(i) + (at(i) > t0 ? b[2] * (at(i) - t0) : 0);
        finish(p, s, first, 3, fitted);
        scaled(p);
        out.push_back(p);
    }
    if (stepAt > 0 && evidence(bestStep) >= ChangeEvidence) {
        const double t0 = at(stepAt);
        const Sums &tail = tails[stepAt];
        const Sums head = all - tail;
        const Sums::Line before = head.line(), after = tail.line();
        const bool paced = tail.n >= StepPacePoints && -t0 * Year >= StepPaceSpan && after.valid;
        WearProjection p;
        p.model = Forecast::Model::Drop;
        p.evidence = evidence(bestStep);
        p.sinceDay = s.newestDay + qint64(std::lround(t0 * Year));
        p.priorLevel = before.a + before.b * t0;
        p.priorSlope = before.b / Year;
        for (size_t i = 0; i < n; ++i)
            fitted[i] = i < stepAt ? before.a + before.b * at(i) : paced ? after.a + after.b * at(i) : tail.mean();
        if (paced) {
            // The newer level's own pace, once it has enough days to show one.
            p.level = after.a;
            p.slope = after.b / Year;
            p.covariance = lineCovariance(tail, after, 1.0);
        } else {
            // Too young for a pace of its own: the older pace from the newer level, the older pace's
            // uncertainty with it.
            p.slope = before.b / Year;
            const double mx = tail.x / tail.n;
            p.level = tail.mean() - before.b * mx;
            const Matrix older = lineCovariance(head, before, 1.0);
            p.covariance[0][0] = 1.0 / tail.n + mx * mx * older[1][1] * Year * Year;
            p.covariance[0][1] = p.covariance[1][0] = -mx * older[1][1] * Year;
            p.covariance[1][1] = older[1][1];
        }
        finish(p, s, first, paced ? 4 : 3, fitted);
        scaled(p);
        out.push_back(p);
    }
    return out;
}

} // namespace NVL::Engineering::VK
