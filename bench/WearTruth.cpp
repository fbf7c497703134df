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
    return {Cohort::SteadyQuiet, Cohort::SteadyNoisy, Cohort::Wild,  Cohort::KneeYoung, Cohort::KneeOld,
            Cohort::Flat,        Cohort::Short,       Cohort::Gaps,  Cohort::IntegerSlow, Cohort::Drop};
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
TrueBattery WearTruth::report(Cohort cohort, int history, double noise, double wildShare, const Truth &truth)
{
    TrueBattery battery;
    battery.cohort = cohort;
    for (int t = -(history - 1); t <= 0; ++t) {
        double percent = truth(double(t)) + noise * normal();
        if (wildShare > 0 && unit() < wildShare)
            percent = 255.0 * unit();
        battery.days.append({Today + t, int(std::clamp(std::lround(percent), 0L, 255L))});
    }
    battery.crossing = crossingOf(truth);
    return battery;
}

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
        return report(cohort, history, 1.0, 0,
                      [=](double t) { return start - slow * (t + age) / Year - kneeLoss(t, kneeAge, slow, fast); });
    }
    case Cohort::Flat: return report(cohort, history, 1.0, 0, [start](double) { return std::min(start, 99.0); });
    case Cohort::IntegerSlow: {
        const double slowRate = (1.5 + 3.0 * unit()) * wear;
        return report(cohort, history, 0.3, 0, [=](double t) { return start - slowRate * (t + age) / Year; });
    }
    default: break;
    }
    const auto steady = [=](double t) { return start - rate * (t + age) / Year; };
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
