// Forecast accuracy benchmark: batteries of known truth (WearTruth, and measured cells from AgeingCurves)
// through the server's own forecast, beside least-squares lines over the newest 90 and 365 days fitted
// in the same run, per cohort and per health level: status shares, date errors against the true
// crossing, how often the band holds the truth, the due lists at 30 and 90 days against the truly due,
// and the CPU of one fit.

#include "BenchOutput.h"
#include "ForecastAccuracy.h"
#include "ForecastFit.h"
#include "ForecastTrackRecord.h"
#include "WearTruth.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <vector>

using namespace NVL::Engineering::VK;
using namespace NVL::Engineering::VK::Bench;

namespace {

constexpr int Boundary = 80;
constexpr int DueSpans[] = {30, 90};
constexpr int CellLevels[] = {95, 90, 86, 83, 81};

double quantile(std::vector<double> values, double q)
{
    if (values.empty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    return values[size_t(std::lround(q * double(values.size() - 1)))];
}

QString percent(qsizetype part, qsizetype whole)
{
    return whole == 0 ? QStringLiteral("-") : QString::number(100.0 * double(part) / double(whole), 'f', 0);
}

QString days(double value)
{
    return std::isnan(value) ? QStringLiteral("-") : QString::number(value, 'f', 0);
}

// The health level a battery stands at today, in the steps the real cells are forecast at.
QString levelOf(double truth)
{
    if (truth > 92.5)
        return QStringLiteral("95");
    if (truth > 88)
        return QStringLiteral("90");
    if (truth > 84.5)
        return QStringLiteral("86");
    if (truth > 82)
        return QStringLiteral("83");
    if (truth > Boundary)
        return QStringLiteral("81");
    return QStringLiteral("Poor");
}

struct Figures
{
    qsizetype batteries = 0;
    qsizetype status[5] = {};
    qsizetype models[Forecast::ModelCount] = {};
    std::vector<double> errors; // forecast day minus true crossing, dated batteries with a crossing ahead
    qsizetype banded = 0;       // of those, the truth inside the band
    qsizetype due[2] = {}, listed[2] = {}, hit[2] = {};
    qsizetype farListed = 0; // on the 90-day list while the truth is more than 180 days away
    qsizetype nowFar = 0;    // `now` for a battery truly more than 30 days away
    double cpuMs = 0;

    void add(const TrueBattery &truth, const Forecast &f, double ms)
    {
        ++batteries;
        cpuMs += ms;
        ++status[int(f.status)];
        if (f.status != Forecast::Status::NotEnoughHistory)
            ++models[int(f.model)];
        const qint64 crossing = truth.crossing.value_or(Forecast::CapDays + 1);
        const bool dated = f.status == Forecast::Status::Date && f.day;
        if (dated && crossing > 0 && truth.crossing) {
            errors.push_back(double(*f.day - WearTruth::Today - crossing));
            const qint64 day = WearTruth::Today + crossing;
            banded += f.earliestDay && *f.earliestDay <= day && (!f.latestDay || day <= *f.latestDay) ? 1 : 0;
        }
        const bool isNow = f.status == Forecast::Status::Now;
        for (int s = 0; s < 2; ++s) {
            const bool isDue = crossing <= DueSpans[s];
            const bool isListed = isNow || (dated && *f.day <= WearTruth::Today + DueSpans[s]);
            due[s] += isDue ? 1 : 0;
            listed[s] += isListed ? 1 : 0;
            hit[s] += isDue && isListed ? 1 : 0;
        }
        farListed += (isNow || (dated && *f.day <= WearTruth::Today + 90)) && crossing > 180 ? 1 : 0;
        nowFar += isNow && crossing > 30 ? 1 : 0;
    }

    void print(const QString &cohort, const QString &level, const QString &method) const
    {
        std::vector<double> absolute;
        for (double e : errors)
            absolute.push_back(std::fabs(e));
        QStringList shares;
        for (int s = 0; s < 5; ++s)
            shares << percent(status[s], batteries);
        qsizetype fitted = 0;
        for (qsizetype m : models)
            fitted += m;
        QStringList shapes;
        for (int m = 1; m < Forecast::ModelCount; ++m)
            shapes << percent(models[m], fitted);
        const auto cell = [](const QString &text, int width) { return text.rightJustified(width); };
        say(cohort.leftJustified(20) + cell(level, 5) + QLatin1Char(' ') + method.leftJustified(9) + QStringLiteral("|")
            + cell(QString::number(batteries), 5) + QStringLiteral(" | ") + shares.join(QLatin1Char('/')).leftJustified(16)
            + QStringLiteral("|") + cell(days(quantile(absolute, 0.5)), 5) + cell(days(quantile(absolute, 0.9)), 6)
            + cell(days(quantile(errors, 0.5)), 6) + cell(days(quantile(errors, 0.9)), 6) + QStringLiteral(" |")
            + cell(percent(banded, qsizetype(errors.size())), 4) + QStringLiteral(" |") + cell(QString::number(due[1]), 4) + cell(percent(hit[0], due[0]), 4)
            + QLatin1Char('/') + QString::number(listed[0] - hit[0]).leftJustified(4) + cell(percent(hit[1], due[1]), 4)
            + QLatin1Char('/') + QString::number(listed[1] - hit[1]).leftJustified(4) + QStringLiteral("|")
            + cell(QString::number(farListed), 4) + cell(QString::number(nowFar), 4) + QStringLiteral(" |")
            + cell(QString::number(cpuMs * 1000.0 / double(std::max<qsizetype>(batteries, 1)), 'f', 0), 5)
            + QStringLiteral(" | ") + shapes.join(QLatin1Char('/')));
    }

    void merge(const Figures &o)
    {
        batteries += o.batteries;
        for (int s = 0; s < 5; ++s)
            status[s] += o.status[s];
        for (int s = 0; s < Forecast::ModelCount; ++s)
            models[s] += o.models[s];
        errors.insert(errors.end(), o.errors.begin(), o.errors.end());
        banded += o.banded;
        for (int s = 0; s < 2; ++s) {
            due[s] += o.due[s];
            listed[s] += o.listed[s];
            hit[s] += o.hit[s];
        }
        farListed += o.farListed;
        nowFar += o.nowFar;
        cpuMs += o.cpuMs;
    }
};

// A plain least-squares line over the newest `span` days, its 95 % band from its own standard errors:
// the baseline any forecast must beat.
Forecast leastSquaresLine(const QList<DailyHealth> &days, int span)
{
    Forecast f;
    if (days.isEmpty())
        return f;
    const qint64 newest = days.constLast().day;
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
    for (const DailyHealth &d : days) {
        if (d.day <= newest - span || d.percent > 100)
            continue;
        const double x = double(d.day - newest), y = d.percent;
        n += 1;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
        syy += y * y;
    }
    f.days = int(n);
    const double sxxc = sxx - sx * sx / std::max(n, 1.0);
    if (n < Forecast::MinimumDays || sxxc <= 0)
        return f;
    const double slope = (sxy - sx * sy / n) / sxxc;
    const double intercept = (sy - slope * sx) / n;
    const double sse = std::max(syy - intercept * sy - slope * sxy, 0.0);
    const double variance = sse / std::max(n - 2, 1.0);
    f.level = intercept;
    f.slopePerYear = slope * 365;
    if (intercept <= Boundary) {
        f.status = Forecast::Status::Now;
        return f;
    }
    if (!(slope < 0)) {
        f.status = Forecast::Status::NoDecline;
        return f;
    }
    const double x = (Boundary - intercept) / slope;
    if (x > Forecast::CapDays) {
        f.status = Forecast::Status::BeyondCap;
        return f;
    }
    const double mx = sx / n;
    const double spread = 1.96 * std::sqrt(variance * (1.0 / n + (x - mx) * (x - mx) / sxxc)) / std::fabs(slope);
    f.status = Forecast::Status::Date;
    f.day = newest + qint64(std::ceil(x));
    f.earliestDay = newest + qint64(std::ceil(std::max(x - spread, 0.0)));
    f.latestDay = newest + qint64(std::ceil(x + spread));
    return f;
}

struct Method
{
    QString name;
    std::function<Forecast(const QList<DailyHealth> &)> fit;
};

// Figures of one cohort by method and health level.
using Table = std::map<QString, std::map<QString, Figures>>;

void run(const std::vector<TrueBattery> &batteries, const std::vector<Method> &methods, Table &table)
{
    for (const TrueBattery &battery : batteries) {
        for (const Method &m : methods) {
            QElapsedTimer clock;
            clock.start();
            const Forecast f = m.fit(battery.days);
            const double ms = double(clock.nsecsElapsed()) / 1e6;
            table[m.name][levelOf(battery.level)].add(battery, f, ms);
            if (!battery.group.isEmpty())
                table[m.name][battery.group].add(battery, f, ms);
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vk_bench_forecast"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Forecast accuracy on batteries of known truth, per cohort."));
    parser.addHelpOption();
    const QCommandLineOption countOption(QStringLiteral("batteries"), QStringLiteral("Batteries per cohort (250)."),
                                         QStringLiteral("n"), QStringLiteral("250"));
    const QCommandLineOption seedOption(QStringLiteral("seed"), QStringLiteral("Generator seed (1)."), QStringLiteral("n"),
                                        QStringLiteral("1"));
    const QCommandLineOption levelsOption(QStringLiteral("levels"), QStringLiteral("Rows per health level too."));
    const QCommandLineOption scalesOption(QStringLiteral("scales"), QStringLiteral("Each fleet's calibrated scales."));
    parser.addOptions({countOption, seedOption, levelsOption, scalesOption});
    parser.process(app);
    const int count = std::max(1, parser.value(countOption).toInt());
    const bool byLevel = parser.isSet(levelsOption);
    const bool scales = parser.isSet(scalesOption);

    WearTruth truth(parser.value(seedOption).toUInt());
    const AgeingCurves curves = AgeingCurves::load();
    if (curves.count() == 0)
        return 1;

    say(QStringLiteral("Each cohort is a fleet of its own: the forecast's bands are calibrated on that fleet's own track "
                       "record (its forecasts replayed 30, 60, 90 and 180 days back against what the batteries then "
                       "reported), never on the truth."));
    say(QStringLiteral("Status shares in %: not-enough/no-decline/now/date/beyond-cap. Errors in days (forecast minus "
                       "truth) of dated batteries whose truth lies ahead: median and 90th percentile of |error|, median "
                       "and 90th percentile of the signed error. Band: truth inside it, %. Due lists at 30 and 90 days: "
                       "the truly due in 90 days (count), recall %/false alarms (count). far: on the 90-day list with the truth over 180 days away; now>30: "
                       "now with the truth over 30 days away. CPU: microseconds per fit. Shapes: % of the fitted, by model "
                       "after the line."));
    say(QStringLiteral("cohort              level method   |    n | status shares  |m|e| 90|e|    me   90e |band | due due30    "
                       "due90    | far now>30|  cpu | shapes"));

    QList<Cohort> cohorts = WearTruth::all();
    cohorts.insert(cohorts.indexOf(Cohort::Accelerating), Cohort::RealCells);
    Table whole;
    ForecastTrackRecord mixed(Boundary);
    for (const Cohort cohort : cohorts) {
        std::vector<TrueBattery> batteries;
        if (cohort == Cohort::RealCells) {
            const int perCell = std::max(1, count / curves.count());
            for (const int level : CellLevels) {
                for (int cell = 0; cell < curves.count(); ++cell) {
                    for (int r = 0; r < perCell; ++r)
                        batteries.push_back(truth.realCell(curves, cell, level));
                }
            }
        } else {
            // The accelerating fleet is reported by the age of its knees as well: as many of each as a cohort.
            for (int b = 0; b < (cohort == Cohort::Accelerating ? 3 * count : count); ++b)
                batteries.push_back(truth.make(cohort));
        }
        // The fleet's own track record, from the reports alone.
        ForecastTrackRecord record(Boundary);
        for (const TrueBattery &battery : batteries) {
            record.replay(battery.days);
            mixed.replay(battery.days);
        }
        const ForecastAccuracy accuracy = record.accuracy();
        const std::vector<Method> methods = {
            {QStringLiteral("forecast"), [&](const QList<DailyHealth> &d) { return ForecastFit::fromDays(d, Boundary, accuracy); }},
            {QStringLiteral("line 90"), [](const QList<DailyHealth> &d) { return leastSquaresLine(d, 90); }},
            {QStringLiteral("line 365"), [](const QList<DailyHealth> &d) { return leastSquaresLine(d, 365); }},
        };
        Table table;
        run(batteries, methods, table);
        for (const Method &m : methods) {
            Figures all;
            for (const auto &level : table[m.name]) {
                if (level.first.size() <= 4) // the levels; groups count twice otherwise
                    all.merge(level.second);
            }
            all.print(WearTruth::name(cohort), QStringLiteral("all"), m.name);
            whole[m.name][QStringLiteral("all")].merge(all);
        }
        if (scales) {
            const auto row = [&](int model, double above) {
                QStringList cells;
                for (const int h : ForecastAccuracy::Horizons) {
                    const ForecastAccuracy::Scale k = accuracy.scale(Forecast::Model(model), above, h);
                    cells << QStringLiteral("%1/%2/%3").arg(k.low, 0, 'f', 2).arg(k.middle, 0, 'f', 2).arg(k.high, 0, 'f', 2);
                }
                return cells.join(QStringLiteral("  "));
            };
            for (int model = 0; model < Forecast::ModelCount; ++model)
                for (const double above : {0.0, ForecastAccuracy::LevelBounds[0], ForecastAccuracy::LevelBounds[1]})
                    say(QStringLiteral("  scales %1 from %2 points up: %3")
                            .arg(QString::fromLatin1(Forecast::modelName(Forecast::Model(model))), -7)
                            .arg(above, 2)
                            .arg(row(model, above)));
            for (const ForecastAccuracy::Horizon &h : accuracy.horizons())
                say(QStringLiteral("  %1 d: %2 replays, band held %3 %, median error %4 points; %5 crossings, median %6 d")
                        .arg(h.days).arg(h.replays).arg(h.bandHitRate * 100, 0, 'f', 0).arg(h.medianError, 0, 'f', 1)
                        .arg(h.crossings).arg(h.medianDateError, 0, 'f', 0));
        }
        if (byLevel || cohort == Cohort::RealCells || cohort == Cohort::Accelerating) {
            for (const auto &level : table[methods[0].name]) {
                if (level.second.batteries < 10)
                    continue;
                for (const Method &m : methods)
                    table[m.name][level.first].print(WearTruth::name(cohort), level.first, m.name);
            }
        }
    }
    for (const auto &m : whole)
        m.second.at(QStringLiteral("all")).print(QStringLiteral("whole fleet"), QStringLiteral("all"), m.first);
    // What a server starts from before its fleet has a record of its own: these cohorts together.
    const ForecastAccuracy prior = mixed.accuracy();
    QStringList priorScales;
    for (const int h : ForecastAccuracy::Horizons) {
        const ForecastAccuracy::Scale k = prior.pooled(h);
        priorScales << QStringLiteral("{%1, %2, %3}").arg(k.low, 0, 'f', 2).arg(k.middle, 0, 'f', 2).arg(k.high, 0, 'f', 2);
    }
    say(QStringLiteral("scales of the whole fleet's record by horizon (low, middle, high): ") + priorScales.join(QStringLiteral(", ")));
    return 0;
}
