#include "ApiViews.h"

#include <QDate>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

namespace NVL::Engineering::VK::ApiViews {

namespace {

std::optional<Forecast> forecastOf(const QHash<QByteArray, Forecast> &forecasts, const BatteryRecord &r)
{
    const auto it = forecasts.constFind(r.serialKey());
    if (it == forecasts.constEnd())
        return std::nullopt;
    return *it;
}

QJsonValue optionalDay(const std::optional<qint64> &day)
{
    return day ? QJsonValue(dayText(*day)) : QJsonValue(QJsonValue::Null);
}

} // namespace

const QStringList &batteryColumns()
{
    static const QStringList columns{
        QStringLiteral("serial"),          QStringLiteral("serialText"),       QStringLiteral("esn"),
        QStringLiteral("alias"),           QStringLiteral("typeCode"),         QStringLiteral("healthPercent"),
        QStringLiteral("healthClass"),     QStringLiteral("fullCapacity"),     QStringLiteral("cycleCount"),
        QStringLiteral("reportTime"),      QStringLiteral("reportAddress"),    QStringLiteral("forecastStatus"),
        QStringLiteral("forecastDate"),    QStringLiteral("forecastEarliest"), QStringLiteral("forecastLatest"),
        QStringLiteral("forecastSlopePerYear"), QStringLiteral("forecastModel"),    QStringLiteral("forecastSince")};
    return columns;
}

QList<QJsonValue> batteryRow(const BatteryRecord &r, const std::optional<Forecast> &f)
{
    const bool fitted = f && f->status != Forecast::Status::NotEnoughHistory;
    return {serialKeyText(r.serialKey()),
            serialText(r),
            esnText(r),
            aliasText(r),
            QStringLiteral("0x") + QString::number(r.typeCode, 16).rightJustified(8, QLatin1Char('0')),
            healthPercentage(r),
            healthName(r),
            int(r.fullCapacity),
            int(r.cycleCount),
            timeText(r.reportTime),
            addressText(r.reportAddress),
            f ? QString::fromLatin1(Forecast::statusName(f->status)) : QStringLiteral("unknown"),
            f ? optionalDay(f->day) : QJsonValue(),
            f ? optionalDay(f->earliestDay) : QJsonValue(),
            f ? optionalDay(f->latestDay) : QJsonValue(),
            fitted ? QJsonValue(std::round(f->slopePerYear * 100.0) / 100.0) : QJsonValue(),
            fitted && f->days > 0 ? QString::fromLatin1(Forecast::modelName(f->model)) : QJsonValue(),
            fitted ? optionalDay(f->sinceDay) : QJsonValue()};
}

QString addressText(quint32 a)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
    return QString::fromLatin1(text);
}

std::optional<QByteArray> serialKeyFrom(const QString &text)
{
    if (text.size() != 16)
        return std::nullopt;
    for (const QChar c : text) {
        if (!c.isDigit() && !(c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f')))
            return std::nullopt;
    }
    return QByteArray::fromHex(text.toLatin1());
}

// Fleets and histories render thousands of times per answer: the C library's local time and a plain
// format are many times faster than QDateTime's conversions, and say the same.
bool localCalendar(qint64 secondsSinceEpoch, std::tm &local, long &offsetSeconds)
{
    const std::time_t time = std::time_t(secondsSinceEpoch);
#ifdef Q_OS_WIN
    if (localtime_s(&local, &time) != 0)
        return false;
    std::tm asUtc = local;
    offsetSeconds = long(_mkgmtime(&asUtc) - time);
#else
    if (!localtime_r(&time, &local))
        return false;
    offsetSeconds = local.tm_gmtoff;
#endif
    return true;
}

QString timeText(qint64 secondsSinceEpoch)
{
    std::tm local{};
    long offset = 0;
    if (!localCalendar(secondsSinceEpoch, local, offset)) {
        const QDateTime fallback = QDateTime::fromSecsSinceEpoch(secondsSinceEpoch);
        return fallback.toOffsetFromUtc(fallback.offsetFromUtc()).toString(Qt::ISODate);
    }
    char text[40];
    const long magnitude = offset < 0 ? -offset : offset;
    int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                          local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    if (offset == 0)
        std::snprintf(text + n, sizeof text - size_t(n), "Z");
    else
        std::snprintf(text + n, sizeof text - size_t(n), "%c%02ld:%02ld", offset < 0 ? '-' : '+', magnitude / 3600,
                      magnitude % 3600 / 60);
    return QString::fromLatin1(text);
}

QString dayText(qint64 daysSinceEpoch)
{
    // Civil date of a day number (proleptic Gregorian), as in Howard Hinnant's date algorithms.
    const qint64 z = daysSinceEpoch + 719468;
    const qint64 era = (z >= 0 ? z : z - 146096) / 146097;
    const qint64 doe = z - era * 146097;
    const qint64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const qint64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const qint64 mp = (5 * doy + 2) / 153;
    const qint64 day = doy - (153 * mp + 2) / 5 + 1;
    const qint64 month = mp < 10 ? mp + 3 : mp - 9;
    const qint64 year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld", static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day));
    return QString::fromLatin1(text);
}

ApiTable batteries(const QList<BatteryRecord> &records, const QHash<QByteArray, Forecast> &forecasts)
{
    ApiTable table(batteryColumns());
    for (const BatteryRecord &r : records)
        table.addRow(batteryRow(r, forecastOf(forecasts, r)));
    return table;
}

ApiTable history(const QList<HistoryPoint> &points)
{
    ApiTable table({QStringLiteral("time"), QStringLiteral("healthPercent"), QStringLiteral("healthClass"),
                    QStringLiteral("fullCapacity"), QStringLiteral("cycleCount")});
    static const QString classNames[] = {QStringLiteral("Poor"), QStringLiteral("Fair"), QStringLiteral("Good"),
                                         QStringLiteral("Excellent")};
    for (const HistoryPoint &p : points)
        table.addRow({timeText(p.time), p.percent, classNames[std::clamp(p.healthClass, 0, 3)], p.fullCapacity,
                      p.cycleCount});
    return table;
}

} // namespace NVL::Engineering::VK::ApiViews
