// Forecast accuracy benchmark: batteries of known truth (WearTruth) through the server's own forecast,
// per cohort: status shares, date errors against the true crossing, how often the band holds the truth,
// the due lists at 30 and 90 days against the truly due, and the CPU of one fit.

#include "BenchOutput.h"
#include "ForecastFit.h"
#include "WearTruth.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace NVL::Engineering::VK;
using namespace NVL::Engineering::VK::Bench;

namespace {

constexpr int Boundary = 80;
constexpr int DueSpans[] = {30, 90};

double quantile(std::vector<double> values, double q)
{
    if (values.empty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    return values[size_t(std::lround(q * double(values.size() - 1)))];
}

QString percent(qsizetype part, qsizetype whole)
{
    return whole == 0 ? QStringLiteral("-") : QString::number(100.0 * double(part) / double(whole), 'f', 1);
}

QString days(double value)
{
    return std::isnan(value) ? QStringLiteral("-") : QString::number(value, 'f', 0);
}

struct Figures
{
    qsizetype batteries = 0;
    qsizetype status[5] = {};
    qsizetype models[3] = {};       // of the fitted, the shape the date or status came from
    std::vector<double> errors;    // forecast day minus true crossing, dated batteries with a crossing ahead
    qsizetype banded = 0;          // of those, the truth inside the band
    qsizetype due[2] = {}, listed[2] = {}, hit[2] = {};
    qsizetype nowFar = 0;          // `now` for a battery truly more than 30 days away
    qsizetype dropCounted = 0, dropNow = 0; // drops 3 to 8 daily points old, and how many are `now`
    qsizetype flatDated = 0;
    double cpuMs = 0;

    void add(const TrueBattery &truth, const Forecast &f)
    {
        ++batteries;
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
        for (int s = 0; s < 2; ++s) {
            const bool isDue = crossing <= DueSpans[s];
            const bool isListed = f.status == Forecast::Status::Now
                || (dated && *f.day <= WearTruth::Today + DueSpans[s]);
            due[s] += isDue ? 1 : 0;
            listed[s] += isListed ? 1 : 0;
            hit[s] += isDue && isListed ? 1 : 0;
        }
        nowFar += f.status == Forecast::Status::Now && crossing > 30 ? 1 : 0;
        if (truth.cohort == Cohort::Drop && truth.dropAge >= 3 && truth.dropAge <= 8) {
            ++dropCounted;
            dropNow += f.status == Forecast::Status::Now ? 1 : 0;
        }
        flatDated += truth.cohort == Cohort::Flat && dated ? 1 : 0;
    }

    void print(const QString &name) const
    {
        std::vector<double> absolute;
        for (double e : errors)
            absolute.push_back(std::fabs(e));
        QStringList shares;
        for (int s = 0; s < 5; ++s)
            shares << percent(status[s], batteries);
        const auto cell = [](const QString &text, int width) { return text.rightJustified(width); };
        say(name.leftJustified(18) + QStringLiteral(" |") + cell(QString::number(batteries), 6) + QStringLiteral(" | ")
            + shares.join(QLatin1Char('/')).leftJustified(26) + QStringLiteral(" |") + cell(days(quantile(absolute, 0.5)), 5)
            + cell(days(quantile(absolute, 0.9)), 6) + cell(days(quantile(errors, 0.5)), 6)
            + cell(days(quantile(errors, 0.9)), 6) + QStringLiteral(" |") + cell(percent(banded, qsizetype(errors.size())), 6)
            + QStringLiteral(" |") + cell(percent(hit[0], due[0]), 6) + QLatin1Char('/')
            + percent(listed[0] - hit[0], listed[0]).leftJustified(5) + cell(percent(hit[1], due[1]), 6) + QLatin1Char('/')
            + percent(listed[1] - hit[1], listed[1]).leftJustified(5) + QStringLiteral(" |")
            + cell(QString::number(cpuMs * 1000.0 / double(std::max<qsizetype>(batteries, 1)), 'f', 0), 5)
            + QStringLiteral(" | ") + percent(models[1], models[0] + models[1] + models[2]) + QLatin1Char('/')
            + percent(models[2], models[0] + models[1] + models[2]));
    }

    void merge(const Figures &o)
    {
        batteries += o.batteries;
        for (int s = 0; s < 5; ++s)
            status[s] += o.status[s];
        for (int s = 0; s < 3; ++s)
            models[s] += o.models[s];
        errors.insert(errors.end(), o.errors.begin(), o.errors.end());
        banded += o.banded;
        for (int s = 0; s < 2; ++s) {
            due[s] += o.due[s];
            listed[s] += o.listed[s];
            hit[s] += o.hit[s];
        }
        nowFar += o.nowFar;
        dropCounted += o.dropCounted;
        dropNow += o.dropNow;
        flatDated += o.flatDated;
        cpuMs += o.cpuMs;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vk_bench_forecast"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Forecast accuracy on batteries of known truth, per cohort."));
    parser.addHelpOption();
    const QCommandLineOption countOption(QStringLiteral("batteries"), QStringLiteral("Batteries per cohort (500)."),
                                         QStringLiteral("n"), QStringLiteral("500"));
    const QCommandLineOption seedOption(QStringLiteral("seed"), QStringLiteral("Generator seed (1)."), QStringLiteral("n"),
                                        QStringLiteral("1"));
    parser.addOptions({countOption, seedOption});
    parser.process(app);
    const int count = std::max(1, parser.value(countOption).toInt());

    WearTruth truth(parser.value(seedOption).toUInt());
    say(QStringLiteral("Status shares in %: not-enough/no-decline/now/date/beyond-cap. Errors in days (forecast "
                       "minus truth) of dated batteries whose truth lies ahead: median and 90th percentile of "
                       "|error|, median and 90th percentile of the signed error. Band: truth inside it, %. Due "
                       "lists: recall %/false alarms % at 30 and 90 days. CPU: microseconds per fit. Shapes: bend %/drop % of the fitted."));
    say(QStringLiteral("cohort             |      n | status shares              | m|e| 90|e|    me   90e |  band |  due30         due90       |   cpu | shapes"));
    Figures fleet, accelerating;
    for (const Cohort cohort : WearTruth::all()) {
        Figures figures;
        for (int b = 0; b < count; ++b) {
            const TrueBattery battery = truth.make(cohort);
            QElapsedTimer clock;
            clock.start();
            const Forecast f = ForecastFit::fromDays(battery.days, Boundary);
            figures.cpuMs += double(clock.nsecsElapsed()) / 1e6;
            figures.add(battery, f);
        }
        figures.print(WearTruth::name(cohort));
        fleet.merge(figures);
        if (cohort == Cohort::KneeYoung || cohort == Cohort::KneeOld)
            accelerating.merge(figures);
    }
    accelerating.print(QStringLiteral("accelerating, all"));
    fleet.print(QStringLiteral("whole fleet"));
    say(QStringLiteral("now for a battery truly more than 30 days away: %1 % of the fleet").arg(percent(fleet.nowFar, fleet.batteries)));
    say(QStringLiteral("persistent drop, 3 to 8 daily points old, now: %1 %").arg(percent(fleet.dropNow, fleet.dropCounted)));
    say(QStringLiteral("flat batteries given a date: %1 %").arg(percent(fleet.flatDated, qsizetype(count))));
    return 0;
}
