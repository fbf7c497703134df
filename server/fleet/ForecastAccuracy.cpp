#include "ForecastAccuracy.h"

#include <QJsonArray>

#include <algorithm>
#include <cmath>

namespace NVL::Engineering::VK {

namespace {

constexpr int ErrorBins = 1000; // tenths of a point, the last holds the rest
constexpr size_t MaximumDateErrors = 100000;

double upperMedian(std::vector<double> values)
{
    if (values.empty())
        return 0;
    const auto mid = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

} // namespace

int ForecastAccuracy::levelOf(double above)
{
    int level = 0;
    while (level < int(LevelBounds.size()) && above >= LevelBounds[size_t(level)])
        ++level;
    return level;
}

int ForecastAccuracy::cellOf(Forecast::Model model, double above)
{
    return std::clamp(int(model), 0, Forecast::ModelCount - 1) * Levels + levelOf(above);
}

ForecastAccuracy::Scale ForecastAccuracy::scale(Forecast::Model model, double above, double days) const
{
    const auto &row = m_cells[size_t(cellOf(model, above))];
    const auto at = [&](size_t h) { return row[h].scale; };
    if (days <= Horizons.front())
        return at(0);
    for (size_t h = 1; h < Horizons.size(); ++h) {
        if (days <= Horizons[h]) {
            const double w = (days - Horizons[h - 1]) / double(Horizons[h] - Horizons[h - 1]);
            const Scale a = at(h - 1), b = at(h);
            return {a.low + w * (b.low - a.low), a.middle + w * (b.middle - a.middle), a.high + w * (b.high - a.high)};
        }
    }
    return at(Horizons.size() - 1);
}

ForecastAccuracy::Scale ForecastAccuracy::pooled(int horizon) const
{
    const auto h = std::find(Horizons.begin(), Horizons.end(), horizon);
    return h == Horizons.end() ? Scale() : m_cells[Shapes - 1][size_t(h - Horizons.begin())].scale;
}

void ForecastAccuracy::add(Forecast::Model model, double above, int horizon, double score, double error, bool inBand)
{
    if (horizon < 0 || horizon >= int(Horizons.size()) || !std::isfinite(score))
        return;
    const int bin = std::clamp(int(std::floor(score / BinWidth)) + Bins / 2, 0, Bins - 1);
    for (const int shape : {cellOf(model, above), Shapes - 1}) {
        Cell &cell = m_cells[size_t(shape)][size_t(horizon)];
        if (cell.histogram.empty())
            cell.histogram.assign(Bins, 0);
        ++cell.histogram[size_t(bin)];
        ++cell.count;
    }
    Figures &f = m_figures[size_t(horizon)];
    ++f.replays;
    f.hits += inBand ? 1 : 0;
    if (f.errors.empty())
        f.errors.assign(ErrorBins, 0);
    ++f.errors[size_t(std::clamp(int(std::fabs(error) * 10), 0, ErrorBins - 1))];
}

void ForecastAccuracy::addCrossing(int horizon, double dateError)
{
    if (horizon < 0 || horizon >= int(Horizons.size()))
        return;
    Figures &f = m_figures[size_t(horizon)];
    ++f.crossings;
    if (f.dateErrors.size() < MaximumDateErrors)
        f.dateErrors.push_back(dateError);
}

void ForecastAccuracy::finish()
{
    const ForecastAccuracy base = prior();
    const auto quantile = [](const std::vector<quint32> &histogram, qint64 count, double q) {
        const double target = q * double(count);
        double seen = 0;
        for (int b = 0; b < Bins; ++b) {
            seen += histogram[size_t(b)];
            if (seen >= target)
                return (b - Bins / 2 + 0.5) * BinWidth;
        }
        return (Bins / 2 - 0.5) * BinWidth;
    };
    const auto blend = [](const Scale &own, const Scale &fallback, double weight) {
        return Scale{weight * own.low + (1 - weight) * fallback.low, weight * own.middle + (1 - weight) * fallback.middle,
                     weight * own.high + (1 - weight) * fallback.high};
    };
    for (size_t h = 0; h < Horizons.size(); ++h) {
        // Every shape of the horizon leans on the prior, each shape on the horizon's.
        Cell &pooled = m_cells[Shapes - 1][h];
        Scale pooledScale = base.m_cells[Shapes - 1][h].scale;
        if (pooled.count > 0) {
            const Scale own{quantile(pooled.histogram, pooled.count, 0.025), quantile(pooled.histogram, pooled.count, 0.5),
                            quantile(pooled.histogram, pooled.count, 0.975)};
            pooledScale = blend(own, pooledScale, std::min(1.0, double(pooled.count) / FullWeight));
        }
        pooled.scale = pooledScale;
        for (int s = 0; s + 1 < Shapes; ++s) {
            Cell &cell = m_cells[size_t(s)][h];
            Scale scale = pooledScale;
            if (cell.count > 0) {
                const Scale own{quantile(cell.histogram, cell.count, 0.025), quantile(cell.histogram, cell.count, 0.5),
                                quantile(cell.histogram, cell.count, 0.975)};
                scale = blend(own, pooledScale, std::min(1.0, double(cell.count) / FullWeight));
            }
            cell.scale = scale;
            cell.histogram = {};
        }
        pooled.histogram = {};
        Figures &f = m_figures[h];
        if (!f.errors.empty()) {
            qint64 seen = 0;
            for (int b = 0; b < ErrorBins; ++b) {
                seen += f.errors[size_t(b)];
                if (2 * seen >= f.replays) {
                    f.medianError = (b + 0.5) / 10.0;
                    break;
                }
            }
        }
        f.errors = {};
        f.medianDateError = upperMedian(f.dateErrors);
        f.dateErrors = {};
    }
    m_finished = true;
}

std::vector<ForecastAccuracy::Horizon> ForecastAccuracy::horizons() const
{
    std::vector<Horizon> out;
    for (size_t h = 0; h < Horizons.size(); ++h) {
        const Figures &f = m_figures[h];
        out.push_back({Horizons[h], f.replays, f.replays > 0 ? double(f.hits) / double(f.replays) : 0, f.medianError,
                       f.crossings, f.medianDateError});
    }
    return out;
}

qint64 ForecastAccuracy::replays() const
{
    qint64 sum = 0;
    for (const Figures &f : m_figures)
        sum += f.replays;
    return sum;
}

bool ForecastAccuracy::differsFrom(const ForecastAccuracy &other) const
{
    for (int s = 0; s < Shapes; ++s) {
        for (size_t h = 0; h < Horizons.size(); ++h) {
            const Scale &a = m_cells[size_t(s)][h].scale, &b = other.m_cells[size_t(s)][h].scale;
            if (std::fabs(a.low - b.low) > 0.05 || std::fabs(a.middle - b.middle) > 0.05 || std::fabs(a.high - b.high) > 0.05)
                return true;
        }
    }
    return false;
}

QJsonObject ForecastAccuracy::toJson() const
{
    QJsonArray scales;
    for (int s = 0; s < Shapes; ++s) {
        for (size_t h = 0; h < Horizons.size(); ++h) {
            const Cell &cell = m_cells[size_t(s)][h];
            scales.append(QJsonArray{s, Horizons[h], double(cell.count), cell.scale.low, cell.scale.middle, cell.scale.high});
        }
    }
    QJsonArray figures;
    for (const Horizon &h : horizons())
        figures.append(QJsonArray{h.days, double(h.replays), h.bandHitRate, h.medianError, double(h.crossings), h.medianDateError});
    return {{QStringLiteral("scales"), scales}, {QStringLiteral("levels"), Levels}, {QStringLiteral("horizons"), figures}};
}

ForecastAccuracy ForecastAccuracy::fromJson(const QJsonObject &json)
{
    ForecastAccuracy a = prior();
    // A table of the versions before levels: a shape's row holds for it at every level.
    const bool leveled = json.value(QStringLiteral("levels")).toInt() == Levels;
    for (const QJsonValue &v : json.value(QStringLiteral("scales")).toArray()) {
        const QJsonArray row = v.toArray();
        const int s = row.at(0).toInt(-1);
        const auto h = std::find(Horizons.begin(), Horizons.end(), row.at(1).toInt());
        if (s < 0 || s >= (leveled ? Shapes : Forecast::ModelCount + 1) || h == Horizons.end() || row.size() < 6)
            continue;
        const Scale scale{row.at(3).toDouble(), row.at(4).toDouble(), row.at(5).toDouble()};
        // A band that would not hold anything, or its middle outside it, is no table this program wrote.
        if (!(std::isfinite(scale.low) && std::isfinite(scale.high) && scale.low <= scale.middle && scale.middle <= scale.high))
            continue;
        const int first = leveled ? s : s == Forecast::ModelCount ? Shapes - 1 : s * Levels;
        const int last = leveled || s == Forecast::ModelCount ? first : first + Levels - 1;
        for (int c = first; c <= last; ++c) {
            Cell &cell = a.m_cells[size_t(c)][size_t(h - Horizons.begin())];
            cell.count = qint64(row.at(2).toDouble());
            cell.scale = scale;
        }
    }
    const QJsonArray figures = json.value(QStringLiteral("horizons")).toArray();
    for (size_t h = 0; h < Horizons.size() && h < size_t(figures.size()); ++h) {
        const QJsonArray row = figures.at(qsizetype(h)).toArray();
        Figures &f = a.m_figures[h];
        f.replays = qint64(row.at(1).toDouble());
        f.hits = qint64(std::llround(row.at(2).toDouble() * double(f.replays)));
        f.medianError = row.at(3).toDouble();
        f.crossings = qint64(row.at(4).toDouble());
        f.medianDateError = row.at(5).toDouble();
    }
    a.m_finished = true;
    return a;
}

ForecastAccuracy ForecastAccuracy::prior()
{
    ForecastAccuracy a;
    // Until a fleet has a record of its own: the scales of every cohort of vk_bench_forecast together (its
    // last line), the same for every shape.
    // Their middles are left at 0: a fleet's own record, not another's, may move the dates themselves.
    static const Scale pooled[Horizons.size()] = {{-3.38, 0, 1.98}, {-3.83, 0, 1.28}, {-4.48, 0, 1.07}, {-6.38, 0, 0.83}};
    for (auto &row : a.m_cells)
        for (size_t h = 0; h < Horizons.size(); ++h)
            row[h].scale = pooled[h];
    for (size_t h = 0; h < Horizons.size(); ++h)
        a.m_figures[h] = {};
    a.m_finished = true;
    return a;
}

} // namespace NVL::Engineering::VK
