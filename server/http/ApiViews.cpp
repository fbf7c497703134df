#include "ApiViews.h"

#include <QDate>

#include <algorithm>
#include <cmath>
#include <limits>

namespace NVL::Engineering::VK::ApiViews {

namespace {

const QStringList &batteryColumns()
{
    static const QStringList columns{
        QStringLiteral("serial"),          QStringLiteral("serialText"),       QStringLiteral("esn"),
        QStringLiteral("alias"),           QStringLiteral("typeCode"),         QStringLiteral("healthPercent"),
        QStringLiteral("healthClass"),     QStringLiteral("fullCapacity"),     QStringLiteral("cycleCount"),
        QStringLiteral("reportTime"),      QStringLiteral("reportAddress"),    QStringLiteral("forecastStatus"),
        QStringLiteral("forecastDate"),    QStringLiteral("forecastEarliest"), QStringLiteral("forecastLatest"),
        QStringLiteral("forecastSlopePerYear")};
    return columns;
}

QJsonValue optionalDay(const std::optional<qint64> &day)
{
    return day ? QJsonValue(dayText(*day)) : QJsonValue(QJsonValue::Null);
}

QList<QJsonValue> batteryRow(const BatteryRecord &r, const std::optional<Forecast> &f)
{
    const bool fitted = f && f->status != Forecast::Status::NotEnoughHistory;
    return {serialKeyText(r.serialKey()),
            serialText(r),
            esnText(r),
            aliasText(r),
            QStringLiteral("0x%1").arg(r.typeCode, 8, 16, QLatin1Char('0')),
            healthPercentage(r),
            healthName(r),
            int(r.fullCapacity),
            int(r.cycleCount),
            timeText(r.reportTime),
            reportAddressText(r),
            f ? QString::fromLatin1(Forecast::statusName(f->status)) : QStringLiteral("unknown"),
            f ? optionalDay(f->day) : QJsonValue(),
            f ? optionalDay(f->earliestDay) : QJsonValue(),
            f ? optionalDay(f->latestDay) : QJsonValue(),
            fitted ? QJsonValue(std::round(f->slopePerYear * 100.0) / 100.0) : QJsonValue()};
}

std::optional<Forecast> forecastOf(const QHash<QByteArray, Forecast> &forecasts, const BatteryRecord &r)
{
    const auto it = forecasts.constFind(r.serialKey());
    if (it == forecasts.constEnd())
        return std::nullopt;
    return *it;
}

} // namespace

QString serialKeyText(const QByteArray &serial)
{
    return QString::fromLatin1(serial.toHex().toUpper());
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

QString timeText(qint64 secondsSinceEpoch)
{
    const QDateTime local = QDateTime::fromSecsSinceEpoch(secondsSinceEpoch);
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

QString dayText(qint64 daysSinceEpoch)
{
    return QDate(1970, 1, 1).addDays(daysSinceEpoch).toString(Qt::ISODate);
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

ApiTable forecastWithin(const QList<BatteryRecord> &records, const QHash<QByteArray, Forecast> &forecasts,
                        qint64 lastDay)
{
    struct Due
    {
        qint64 day;
        const BatteryRecord *record;
        Forecast forecast;
    };
    QList<Due> due;
    for (const BatteryRecord &r : records) {
        const auto f = forecastOf(forecasts, r);
        if (!f)
            continue;
        if (f->status == Forecast::Status::Now)
            due.append({std::numeric_limits<qint64>::min(), &r, *f});
        else if (f->status == Forecast::Status::Date && f->day && *f->day <= lastDay)
            due.append({*f->day, &r, *f});
    }
    std::stable_sort(due.begin(), due.end(), [](const Due &a, const Due &b) { return a.day < b.day; });
    ApiTable table(batteryColumns());
    for (const Due &d : std::as_const(due))
        table.addRow(batteryRow(*d.record, d.forecast));
    return table;
}

} // namespace NVL::Engineering::VK::ApiViews
