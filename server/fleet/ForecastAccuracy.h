#pragma once

#include "Forecast.h"

#include <QJsonObject>

#include <array>
#include <vector>

namespace NVL::Engineering::VK {

// How far the fleet's own forecasts were off, by shape, level and horizon: the forecasts each battery would
// have had 30, 60, 90 and 180 days ago against what it reported in the two weeks around the day. A
// forecast's band is where the newer errors of its kind fell (conformal calibration): what the fleet's
// batteries did, not what a model assumes of them. Kept as error quantiles scaled by each forecast's own
// uncertainty, so that quiet and noisy batteries share one table; collected as histograms, a few hundred
// kilobytes however large the fleet.
class ForecastAccuracy
{
public:
    static constexpr std::array<int, 4> Horizons = {30, 60, 90, 180};
    // Replays of a shape and horizon before its own quantiles count fully; fewer lean on the horizon's.
    static constexpr double FullWeight = 200;

    // Quantiles of (reported - forecast) / the forecast's spread: 2.5 %, 50 %, 97.5 %.
    struct Scale
    {
        double low = -1.96, middle = 0, high = 1.96;
    };
    // The figures people see, per horizon over all shapes.
    struct Horizon
    {
        int days = 0;
        qint64 replays = 0;
        double bandHitRate = 0;     // share whose band held what was reported then
        double medianError = 0;     // median |reported - forecast|, percentage points
        qint64 crossings = 0;       // replays of batteries that have since reached the boundary
        double medianDateError = 0; // their forecast day minus the day it happened, days
    };

    // What a fleet without a track record of its own starts from: replays of a mixed synthetic fleet.
    static ForecastAccuracy prior();

    // Batteries near the boundary wear differently from those far above it (wear speeds up as it nears
    // the end): each shape's errors are kept by how far above the boundary its fit stood, in points.
    static constexpr std::array<double, 2> LevelBounds = {5, 10};
    static constexpr int Levels = int(LevelBounds.size()) + 1;
    static int levelOf(double above);

    // The band of a shape fitted `above` points over the boundary, `days` ahead, between the calibrated
    // horizons.
    Scale scale(Forecast::Model model, double above, double days) const;
    // Of every shape at one of the Horizons.
    Scale pooled(int horizon) const;
    std::vector<Horizon> horizons() const;
    qint64 replays() const;

    // Collecting: one replay's error, whether the band in force held it.
    void add(Forecast::Model model, double above, int horizon, double score, double error, bool inBand);
    void addCrossing(int horizon, double dateError);
    // Turns what was collected into the table; until then scale() gives the prior's.
    void finish();

    // Whether any scale moved by more than a judge of it could tell (a twentieth of a spread).
    bool differsFrom(const ForecastAccuracy &other) const;

    QJsonObject toJson() const;
    static ForecastAccuracy fromJson(const QJsonObject &json);

private:
    static constexpr int Bins = 1200;
    static constexpr double BinWidth = 0.05; // of the score, which runs from -30 to 30
    struct Cell
    {
        std::vector<quint32> histogram; // empty until the first score
        qint64 count = 0;
        Scale scale;
    };
    // Each shape at each level, then every shape of the horizon.
    static constexpr int Shapes = Forecast::ModelCount * Levels + 1;
    static int cellOf(Forecast::Model model, double above);
    std::array<std::array<Cell, Horizons.size()>, Shapes> m_cells;
    struct Figures
    {
        qint64 replays = 0, hits = 0;
        std::vector<quint32> errors;    // |error| in tenths of a point, capped
        std::vector<double> dateErrors; // capped in count
        double medianError = 0, medianDateError = 0;
        qint64 crossings = 0;
    };
    std::array<Figures, Horizons.size()> m_figures;
    bool m_finished = false;
};

} // namespace NVL::Engineering::VK
