#include "WearTruth.h"

#include <algorithm>
#include <cmath>

namespace NVL::Engineering::VK::Bench {

namespace {

constexpr double Year = 365.0;
// The loss speeds up over this many days after a knee, then goes on at its new pace.
constexpr double KneeRampDays = 30.0;

} // namespace

WearTruth::WearTruth(quint32 seed, int boundary)
    : m_random(seed)
    , m_boundary(boundary)
{
}

QList<Cohort> WearTruth::all()
{
    return {Cohort::SteadyQuiet, Cohort::SteadyNoisy, Cohort::Wild,      Cohort::KneeYoung,   Cohort::KneeOld,
            Cohort::Flat,        Cohort::Short,       Cohort::Gaps,      Cohort::IntegerSlow, Cohort::Drop,
            Cohort::Accelerating, Cohort::Replaced,   Cohort::Recovered,
            Cohort::SeveralDaily, Cohort::Seasonal};
}

QString WearTruth::name(Cohort cohort)
{
    switch (cohort) {
    case Cohort::SteadyQuiet: return QStringLiteral("steady, quiet");
    case Cohort::SteadyNoisy: return QStringLiteral("steady, noisy");
    case Cohort::Wild: return QStringLiteral("wild readings");
    case Cohort::KneeYoung: return QStringLiteral("knee 30-90 d ago");
    case Cohort::KneeOld: return QStringLiteral("knee 90-240 d ago");
    case Cohort::Flat: return QStringLiteral("flat");
    case Cohort::Short: return QStringLiteral("under 30 days");
    case Cohort::Gaps: return QStringLiteral("gaps of months");
    case Cohort::IntegerSlow: return QStringLiteral("integer, slow");
    case Cohort::Drop: return QStringLiteral("persistent drop");
    case Cohort::Accelerating: return QStringLiteral("accelerating knee");
    case Cohort::RealCells: return QStringLiteral("real cells");
    case Cohort::Replaced: return QStringLiteral("replaced");
    case Cohort::Recovered: return QStringLiteral("recovered dip");
    case Cohort::SeveralDaily: return QStringLiteral("several a day");
    case Cohort::Seasonal: return QStringLiteral("yearly swing");
    }
    return {};
}

template<typename Truth>
std::optional<qint64> WearTruth::crossingOf(const Truth &truth) const
{
    for (qint64 t = 0; t <= Forecast::CapDays; ++t) {
        if (truth(double(t)) <= m_boundary)
            return t;
    }
    return std::nullopt;
}

template<typename Truth>
TrueBattery WearTruth::report(Cohort cohort, int history, double noise, double wildShare, const Truth &truth,
                              int reportsPerDay)
{
    TrueBattery battery;
    battery.cohort = cohort;
    const auto reading = [&](double t) { return int(std::clamp(std::lround(truth(t) + noise * normal()), 0L, 255L)); };
    for (int t = -(history - 1); t <= 0; ++t) {
        if (reportsPerDay > 1) {
            // One of the day's reports is wild, the others read the battery: the day is what the store makes of them.
            std::vector<int> reports;
            for (int r = 1; r < reportsPerDay; ++r)
                reports.push_back(reading(double(t)));
            // Wild readings of real radios are often 0.
            const int wild = unit() < 0.5 ? 0 : int(255.0 * unit());
            reports.insert(reports.begin() + std::ptrdiff_t(unit() * double(reportsPerDay - 1)), wild);
            battery.days.append({Today + t, DailyHealth::valueOf(reports)});
            continue;
        }
        int percent = reading(double(t));
        if (wildShare > 0 && unit() < wildShare)
            percent = int(255.0 * unit());
        battery.days.append({Today + t, percent});
    }
    battery.crossing = crossingOf(truth);
    battery.level = truth(0.0);
    return battery;
}

TrueBattery WearTruth::realCell(const AgeingCurves &curves, int cell, int level)
{
    // The cell's own test time stretched so that it reaches 80 % after 500 to 1,500 calendar days.
    const double scale = uniform(500.0, 1500.0) / curves.timeAt(cell, 0.8);
    const int today = int(std::ceil(curves.timeAt(cell, level / 100.0) * scale));
    TrueBattery battery = report(Cohort::RealCells, today + 1, 0.7, 0,
                                 [&](double t) { return 100.0 * curves.capacity(cell, (t + today) / scale); });
    return battery;
}

TrueBattery WearTruth::replaced()
{
    // The old battery wore down to about 75 %, the new one starts near 100 % at a pace of its own.
    const int age = int(uniform(10, 200));
    const int before = int(uniform(200, 600));
    const double oldRate = uniform(5, 20), newRate = uniform(3, 25), start = uniform(97, 100);
    const double oldEnd = uniform(72, 78);
    return report(Cohort::Replaced, age + before, 1.0, 0, [=](double t) {
        return t > -age ? start - newRate * (t + age) / Year : oldEnd - oldRate * (t + age) / Year;
    });
}

TrueBattery WearTruth::recovered()
{
    // The low readings are the radio's (a cold or miscalibrated gauge), not wear: the truth goes on.
    const double level = uniform(81, 95), rate = uniform(3, 25);
    const int history = int(uniform(120, 500));
    const int end = int(uniform(3, 30)), low = int(uniform(60, 78));
    TrueBattery battery = report(Cohort::Recovered, history, 1.0, 0, [=](double t) { return level - rate * t / Year; });
    for (DailyHealth &d : battery.days) {
        const qint64 age = Today - d.day;
        if (age >= end && age < end + 5)
            d.percent = low + int(uniform(-1, 1));
    }
    return battery;
}

namespace {

// Levels of a knee that keeps speeding up: `strength` points lost to it in its first half year.
struct Accelerating
{
    double today, slow, kneeAge, strength;

    double extra(double t) const
    {
        const double u = std::max(0.0, t + kneeAge);
        return strength * u * u / (180.0 * 180.0);
    }
    double operator()(double t) const { return today - slow * t / Year - (extra(t) - extra(0.0)); }
};

} // namespace

double WearTruth::kneeLoss(double t, double kneeAge, double slow, double fast)
{
    const double u = t + kneeAge;
    if (u <= 0)
        return 0.0;
    const double perDay = (fast - slow) / Year;
    return u < KneeRampDays ? perDay * u * u / (2 * KneeRampDays) : perDay * (u - KneeRampDays / 2);
}

TrueBattery WearTruth::wearing(Cohort cohort, double wear, int history)
{
    const double start = 92.0 + 7.0 * unit();
    const double rate = (3.0 + 22.0 * unit()) * wear;
    const double age = double(history - 1);
    switch (cohort) {
    case Cohort::KneeYoung:
    case Cohort::KneeOld: {
        const double kneeAge = std::min(cohort == Cohort::KneeYoung ? 30.0 + 60.0 * unit() : 90.0 + 150.0 * unit(), age / 2);
        const double slow = (2.0 + 4.0 * unit()) * wear;
        const double fast = slow * (4.0 + 6.0 * unit());
        // `start` on the first day: the knee is at most half the history ago.
        TrueBattery battery = report(cohort, history, 1.0, 0,
                                     [=](double t) { return start - slow * (t + age) / Year - kneeLoss(t, kneeAge, slow, fast); });
        battery.pace = slow + (fast - slow) * std::min(1.0, kneeAge / KneeRampDays);
        return battery;
    }
    case Cohort::Flat: return report(cohort, history, 1.0, 0, [start](double) { return std::min(start, 99.0); });
    case Cohort::IntegerSlow: {
        const double slowRate = (1.5 + 3.0 * unit()) * wear;
        TrueBattery battery = report(cohort, history, 0.3, 0, [=](double t) { return start - slowRate * (t + age) / Year; });
        battery.pace = slowRate;
        return battery;
    }
    default: break;
    }
    const auto steady = [=](double t) { return start - rate * (t + age) / Year; };
    TrueBattery steadyBattery = [&]() -> TrueBattery {
    switch (cohort) {
    case Cohort::SteadyQuiet: return report(cohort, history, 0.5, 0, steady);
    case Cohort::Wild: return report(cohort, history, 1.0, 0.1, steady);
    case Cohort::Gaps: {
        TrueBattery battery = report(cohort, history, 1.0, 0, steady);
        const qint64 length = 30 + qint64(60 * unit());
        const qint64 end = WearTruth::Today - 14 - qint64(double(std::max<qint64>(history - 14 - length, 0)) * unit());
        battery.days.erase(std::remove_if(battery.days.begin(), battery.days.end(),
                                          [&](const DailyHealth &d) { return d.day > end - length && d.day <= end; }),
                           battery.days.end());
        return battery;
    }
    case Cohort::Drop: {
        const int dropAge = 1 + int(10 * unit());
        const double fall = 10.0 + 15.0 * unit();
        TrueBattery battery = report(cohort, history, 1.0, 0, [=](double t) { return steady(t) - (t > -dropAge ? fall : 0.0); });
        battery.dropAge = dropAge;
        return battery;
    }
    default: return report(cohort, history, 2.0, 0, steady);
    }
    }();
    steadyBattery.pace = rate;
    return steadyBattery;
}

TrueBattery WearTruth::make(Cohort cohort)
{
    const double level = 81.0 + 16.0 * unit();
    const double rate = 3.0 + 22.0 * unit(); // points a year
    // A new battery starts under 100 %: no longer history than the fade allows since then.
    const int history = std::max(40, std::min(200 + int(500 * unit()), int((99.0 - level) / rate * Year)));
    const auto steady = [level, rate](double t) { return level - rate * t / Year; };
    switch (cohort) {
    case Cohort::SteadyQuiet: return report(cohort, history, 0.5, 0, steady);
    case Cohort::SteadyNoisy: return report(cohort, history, 2.0, 0, steady);
    case Cohort::Wild: return report(cohort, history, 1.0, 0.1, steady);
    case Cohort::KneeYoung:
    case Cohort::KneeOld: {
        const double kneeAge = cohort == Cohort::KneeYoung ? 30.0 + 60.0 * unit() : 90.0 + 150.0 * unit();
        const double slow = 2.0 + 4.0 * unit();
        const double fast = slow * (4.0 + 6.0 * unit());
        const double today = 82.0 + 11.0 * unit();
        const auto extra = [=](double t) { return kneeLoss(t, kneeAge, slow, fast); };
        const double offset = extra(0.0);
        return report(cohort, history, 1.0, 0,
                      [=](double t) { return today + offset - slow * t / Year - extra(t); });
    }
    case Cohort::Flat: return report(cohort, history, 1.0, 0, [level](double) { return std::min(level + 2.0, 99.0); });
    case Cohort::Short: return report(cohort, 5 + int(24 * unit()), 1.0, 0, steady);
    case Cohort::Gaps: {
        TrueBattery battery = report(cohort, history, 1.0, 0, steady);
        // One or two silences of one to four months, never over the newest fortnight.
        for (int g = 1 + int(2 * unit()); g > 0; --g) {
            const qint64 length = 30 + qint64(90 * unit());
            const qint64 end = WearTruth::Today - 14 - qint64(double(history - 14 - length) * unit());
            battery.days.erase(std::remove_if(battery.days.begin(), battery.days.end(),
                                              [&](const DailyHealth &d) { return d.day > end - length && d.day <= end; }),
                               battery.days.end());
        }
        return battery;
    }
    case Cohort::IntegerSlow: {
        const double slowRate = 1.5 + 3.0 * unit();
        return report(cohort, history, 0.3, 0, [level, slowRate](double t) { return level - slowRate * t / Year; });
    }
    case Cohort::Accelerating: {
        const double share = unit();
        const double kneeAge = share < 1 / 3.0 ? uniform(10, 30) : share < 2 / 3.0 ? uniform(30, 90) : uniform(90, 240);
        const Accelerating truth{uniform(82, 93), uniform(2, 6), kneeAge, uniform(2, 15)};
        TrueBattery battery = report(cohort, std::max(history, int(kneeAge) + 60), 1.0, 0, truth);
        battery.group = kneeAge < 30 ? QStringLiteral("knee 10-30") : kneeAge < 90 ? QStringLiteral("knee 30-90") : QStringLiteral("knee 90-240");
        return battery;
    }
    case Cohort::Replaced: return replaced();
    case Cohort::Recovered: return recovered();
    case Cohort::SeveralDaily: return report(cohort, history, 1.0, 0, steady, 3 + int(4 * unit()));
    case Cohort::Seasonal: {
        const double phase = uniform(0, 2 * M_PI);
        const int years = int(uniform(365, 3 * 365));
        const double slowRate = std::min(uniform(2, 10), (96.0 - level) * Year / years);
        return report(cohort, years, 1.0, 0, [=](double t) {
            return level - slowRate * t / Year + 3.0 * std::sin(2 * M_PI * (WearTruth::Today + t) / Year + phase);
        });
    }
    case Cohort::RealCells: break; // realCell()
    case Cohort::Drop: {
        const int age = 1 + int(10 * unit());
        const double before = 88.0 + 7.0 * unit();
        const double after = 55.0 + 20.0 * unit();
        const double slowRate = 3.0 + 7.0 * unit();
        TrueBattery battery = report(cohort, history, 1.0, 0, [=](double t) {
            return (t > -age ? after : before) - slowRate * t / Year;
        });
        battery.dropAge = age;
        return battery;
    }
    }
    return {};
}

} // namespace NVL::Engineering::VK::Bench
