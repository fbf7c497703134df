#include "SyntheticFleet.h"

#include "BatteryDatabase.h"
#include "ForecastFit.h"
#include "HistoryStore.h"
#include "TypeNames.h"

#include <QDateTime>
#include <QDir>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace NVL::Engineering::VK {

namespace {

constexpr double FullCapacity = 3780.0; // mAh of a new battery, the one the classes measure against

double uniform(std::mt19937 &random, double low, double high)
{
    return std::uniform_real_distribution<double>(low, high)(random);
}

bool chance(std::mt19937 &random, double p)
{
    return uniform(random, 0.0, 1.0) < p;
}

} // namespace

const char *SyntheticFleet::siteName(int site)
{
    static const char *const names[Sites] = {"Depot North", "Harbour", "Airport", "Fire Station 3", "Rail Yard", "Hospital"};
    return names[site % Sites];
}

QString SyntheticFleet::sitesSection()
{
    QString section = QStringLiteral("[sites]\n");
    for (int s = 0; s < Sites; ++s)
        section += QStringLiteral("%1=10.1.%2.0/24\n").arg(QLatin1String(siteName(s))).arg(s);
    return section;
}

QString SyntheticFleet::typesSection()
{
    return QStringLiteral("[types]\n0x00c10100=Li-ion 2300 mAh\n%1=Li-ion 2900 mAh, self-measuring\n")
        .arg(TypeNames::codeText(SelfMeasuringTypeB));
}

double SyntheticFleet::wearAt(int site, int charger)
{
    // The harbour's salt air; a charger at the depot that overcharges.
    if (site == 1)
        return 1.8;
    if (site == 0 && charger == 2)
        return 2.0;
    return 1.0;
}

SyntheticFleet::SyntheticFleet(const Options &options)
    : m_options(options)
    , m_random(options.seed)
{
    if (m_options.now == 0)
        m_options.now = QDateTime::currentSecsSinceEpoch();
}

SyntheticFleet::Battery SyntheticFleet::battery(int index)
{
    std::mt19937 &r = m_random;
    // Self-measuring batteries report their percentage; the others are judged by capacity and cycles.
    const bool selfMeasuring = chance(r, 0.6);
    const bool fast = chance(r, 0.05);
    const bool young = chance(r, 0.05);
    const int age = young ? int(uniform(r, 3, 60)) : m_options.days + int(uniform(r, 0, 3 * 365));
    // A fleet replaces its poor batteries, so most stand well today: the wear of each follows from where
    // it stands now (a quarter Excellent, a third Good, a quarter Fair, the rest Poor or at the edge).
    const double share = uniform(r, 0.0, 1.0);
    const double levelNow = share < 0.25 ? uniform(r, 93.5, 99.0)
        : share < 0.6                    ? uniform(r, 87.0, 93.0)
        : share < 0.85                   ? uniform(r, 81.0, 86.5)
                                         : uniform(r, 72.0, 81.0);
    const double ageYears = age / 365.0;
    // Where its radio docks: a site, and one of its chargers.
    const quint32 radioOf = quint32(index / 2); // two batteries a radio
    const int site = int(radioOf % Sites);
    const int charger = int((radioOf / Sites) % quint32(2 + site % 3));
    const double wear = wearAt(site, charger);
    // A silent battery's newest report lies weeks back: lost, broken or in a drawer.
    const int silentDays = chance(r, m_options.silentShare) ? int(uniform(r, 15, 60)) : 0;
    const double fadePerYear = wear * (fast ? uniform(r, 25.0, 45.0)
                                            : std::max(0.5, (100.0 - levelNow) / (ageYears * (1.0 + 0.15 * ageYears))));
    // Charge cycles wear at most as fast as capacity fades (a fifth of the health per 500 cycles), so
    // that batteries judged by both are judged by their capacity.
    const double fadeNow = std::min(100.0, fadePerYear * ageYears * (1.0 + 0.15 * ageYears));
    const double cyclesPerDay = fadeNow / 20.0 * 500.0 * uniform(r, 0.5, 0.95) / std::max(1, age);
    const int reported = std::min(age, m_options.days);
    const double outlierShare = uniform(r, 0.0, 0.03);

    Battery battery;
    BatteryRecord &rec = battery.newest;
    rec.version = 1;
    rec.typeCode = selfMeasuring ? SelfMeasuringTypeB : 0x00C10100u;
    const quint32 number = quint32(index);
    const quint8 serial[8] = {0x00, 0x00, 0x42, 0x51, quint8(number >> 24), quint8(number >> 16), quint8(number >> 8),
                              quint8(number)};
    std::memcpy(rec.serial, serial, 8);
    const quint32 radio = radioOf;
    const quint8 esn[8] = {0x00, 0x11, 0x22, 0x33, quint8(radio >> 24), quint8(radio >> 16), quint8(radio >> 8),
                           quint8(radio)};
    std::memcpy(rec.esn, esn, 8);
    const QByteArray alias = QStringLiteral("Radio %1").arg(radio, 5, 10, QLatin1Char('0')).toUtf8();
    std::memcpy(rec.alias, alias.constData(), size_t(std::min<qsizetype>(alias.size(), sizeof rec.alias)));
    rec.reportAddress = 0x0A010000u | (quint32(site) << 8) | quint32(charger + 1);

    const qint64 today = QDateTime::fromSecsSinceEpoch(m_options.now).date().startOfDay().toSecsSinceEpoch();
    for (int back = reported - 1; back >= std::min(silentDays, reported - 1); --back) {
        const int ageDays = age - 1 - back;
        const int reports = back < m_options.denseDays ? 1 + int(uniform(r, 0, 4)) : 1;
        for (int k = 0; k < reports; ++k) {
            // Docked during the working day; today's reports lie before now.
            qint64 time = today - qint64(back) * 86400 + qint64(uniform(r, 6 * 3600, 20 * 3600));
            if (back == 0)
                time = std::min(time, m_options.now - qint64(reports - k) * 60);
            const double years = ageDays / 365.0;
            const double level = 100.0 - fadePerYear * years * (1.0 + 0.15 * years); // wear speeds up a little
            const double noise = uniform(r, -1.5, 1.5);
            rec.cycleCount = quint16(std::min(65535.0, ageDays * cyclesPerDay));
            rec.reportTime = quint32(time);
            if (selfMeasuring) {
                double shown = std::clamp(level + noise, 0.0, 100.0);
                if (chance(r, outlierShare)) // a glitch: nothing, or a number no battery has
                    shown = chance(r, 0.5) ? 0.0 : 101.0 + uniform(r, 0, 150);
                rec.healthPercent = quint8(std::lround(shown));
            } else {
                double capacity = FullCapacity * std::clamp(level + noise, 0.0, 100.0) / 100.0;
                if (chance(r, outlierShare))
                    capacity = uniform(r, 0, FullCapacity * 0.5);
                rec.fullCapacity = quint16(std::lround(capacity));
            }
            HistoryPoint p;
            p.time = time;
            p.percent = healthPercentage(rec);
            p.healthClass = int(healthClass(rec));
            p.fullCapacity = rec.fullCapacity;
            p.cycleCount = rec.cycleCount;
            p.address = ReportPlaces::ipv4Bytes(rec.reportAddress);
            if (!battery.points.isEmpty() && battery.points.constLast().time >= p.time)
                p.time = battery.points.constLast().time + 1;
            rec.reportTime = quint32(p.time);
            battery.points.append(p);
        }
    }
    return battery;
}

SyntheticFleet::Result SyntheticFleet::write(const QString &dataFolder, int boundary)
{
    Result result;
    if (!QDir().mkpath(dataFolder)) {
        result.error = QStringLiteral("cannot create %1").arg(dataFolder);
        return result;
    }
    BatteryDatabase database(dataFolder + QStringLiteral("/vk.db"));
    QString error;
    if (!database.openWithRecovery() || !database.checkVersion(error)) {
        result.error = QStringLiteral("cannot open vk.db (is the server running?) %1").arg(error);
        return result;
    }
    HistoryStore history(dataFolder + QStringLiteral("/vk-history.db"));
    if (!history.open()) {
        result.error = QStringLiteral("cannot open vk-history.db");
        return result;
    }
    QList<BatteryRecord> newest;
    QList<qint64> ids;
    for (int i = 0; i < m_options.batteries; ++i) {
        Battery b = battery(i);
        if (b.points.isEmpty())
            continue;
        if (!history.addPoints(b.newest.serialKey(), b.points)) {
            result.error = QStringLiteral("writing the history failed");
            return result;
        }
        result.points += b.points.size();
        newest.append(b.newest);
        ids.append(*history.idOf(b.newest.serialKey()));
    }
    database.saveReports(newest);
    database.close();
    for (qsizetype i = 0; i < ids.size(); i += 256) {
        if (!history.refreshForecasts(
                ids.mid(i, 256), [boundary](const QList<DailyHealth> &days) { return ForecastFit::fromDays(days, boundary); })) {
            result.error = QStringLiteral("fitting the forecasts failed");
            return result;
        }
    }
    result.ok = true;
    return result;
}

} // namespace NVL::Engineering::VK
