#include "ApiViews.h"

#include "ReplacementOutlook.h"

#include <QDate>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
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


} // namespace

namespace {

// The ISO 8601 local time into `text` (40 bytes); its length, or -1 when the C library cannot say.
int timeInto(qint64 secondsSinceEpoch, char *text)
{
    std::tm local{};
    long offset = 0;
    if (!localCalendar(secondsSinceEpoch, local, offset))
        return -1;
    const long magnitude = offset < 0 ? -offset : offset;
    int n = std::snprintf(text, 40, "%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                          local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    if (offset == 0)
        n += std::snprintf(text + n, 40 - size_t(n), "Z");
    else
        n += std::snprintf(text + n, 40 - size_t(n), "%c%02ld:%02ld", offset < 0 ? '-' : '+', magnitude / 3600,
                           magnitude % 3600 / 60);
    return n;
}

QString fallbackTimeText(qint64 secondsSinceEpoch)
{
    const QDateTime fallback = QDateTime::fromSecsSinceEpoch(secondsSinceEpoch);
    return fallback.toOffsetFromUtc(fallback.offsetFromUtc()).toString(Qt::ISODate);
}

int dayInto(qint64 daysSinceEpoch, char *text)
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
    return std::snprintf(text, 64, "%04lld-%02lld-%02lld", static_cast<long long>(year), static_cast<long long>(month),
                         static_cast<long long>(day));
}

ApiCell dayCell(const std::optional<qint64> &day)
{
    char text[64];
    return day ? ApiCell::text(text, dayInto(*day, text)) : ApiCell::null();
}

} // namespace

const QStringList &batteryColumns()
{
    static const QStringList columns{
        QStringLiteral("serial"),          QStringLiteral("serialText"),       QStringLiteral("esn"),
        QStringLiteral("alias"),           QStringLiteral("typeCode"),         QStringLiteral("typeName"),
        QStringLiteral("healthPercent"),
        QStringLiteral("healthClass"),     QStringLiteral("fullCapacity"),     QStringLiteral("cycleCount"),
        QStringLiteral("reportTime"),      QStringLiteral("reportAddress"),    QStringLiteral("forecastStatus"),
        QStringLiteral("forecastDate"),    QStringLiteral("forecastEarliest"), QStringLiteral("forecastLatest"),
        QStringLiteral("forecastSlopePerYear"), QStringLiteral("forecastModel"),    QStringLiteral("forecastSince"),
        QStringLiteral("forecastRise"),    QStringLiteral("reportDoubt")};
    return columns;
}

BatteryCells batteryCells(const BatteryRecord &r, const std::optional<Forecast> &f, const TypeNames &types)
{
    static const char Hex[] = "0123456789ABCDEF";
    static const char *const ClassNames[] = {"Poor", "Fair", "Good", "Excellent"};
    char text[64];
    const auto hex = [&text](const quint8 *bytes, int count, int at = 0) {
        for (int i = 0; i < count; ++i) {
            text[at + 2 * i] = Hex[bytes[i] >> 4];
            text[at + 2 * i + 1] = Hex[bytes[i] & 0xF];
        }
        return ApiCell::text(text, at + 2 * count);
    };
    // The texts as serialText and aliasText give them, without making them.
    const auto serialCell = [&]() {
        if (r.typeCode != SelfMeasuringTypeA && r.typeCode != SelfMeasuringTypeB)
            return ApiCell::text("", 0);
        if (r.kindFlag == 1)
            return hex(r.serial + 2, 5);
        if (r.typeCode != SelfMeasuringTypeA)
            return hex(r.serial + 3, 5);
        const char first = char(r.serial[2]);
        if (quint8(first) < 0x80) {
            text[0] = first;
            return hex(r.serial + 3, 5, 1);
        }
        std::memcpy(text, "\xEF\xBF\xBD", 3); // what UTF-8 makes of a lone byte above ASCII
        return hex(r.serial + 3, 5, 3);
    };
    const auto aliasCell = [&r]() {
        const auto end = std::find(r.alias, r.alias + sizeof r.alias, '\0');
        if (std::all_of(r.alias, end, [](char c) { return quint8(c) < 0x80; }))
            return ApiCell::text(r.alias, end - r.alias);
        return ApiCell::text(aliasText(r)); // invalid UTF-8 made valid as the text shows it
    };
    const bool fitted = f && f->status != Forecast::Status::NotEnoughHistory;
    // One rule for Poor: a battery Poor by its newest report is "now", with no day ahead.
    const ReplacementOutlook outlook = ReplacementOutlook::of(r, int(healthClass(r)), f);
    const bool poorNow = outlook.kind == ReplacementOutlook::Kind::PoorNow;
    const QString doubt = outlook.doubt();
    const int timeLength = timeInto(r.reportTime, text);
    const ApiCell time = timeLength < 0 ? ApiCell::text(fallbackTimeText(r.reportTime)) : ApiCell::text(text, timeLength);
    const ApiCell key = hex(r.serial, 8);
    const ApiCell serial = serialCell();
    const ApiCell esn = hex(r.esn, 8);
    std::snprintf(text, sizeof text, "0x%08x", unsigned(r.typeCode));
    const ApiCell type = ApiCell::text(text);
    const QByteArray *named = types.utf8Of(r.typeCode);
    const ApiCell typeName = named ? ApiCell::text(named->constData(), named->size()) : type;
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", r.reportAddress >> 24, (r.reportAddress >> 16) & 0xFF,
                  (r.reportAddress >> 8) & 0xFF, r.reportAddress & 0xFF);
    const ApiCell address = ApiCell::text(text);
    return {key,
            serial,
            esn,
            aliasCell(),
            type,
            typeName,
            ApiCell::number(healthPercentage(r)),
            ApiCell::text(ClassNames[std::clamp(int(healthClass(r)), 0, 3)]),
            ApiCell::number(r.fullCapacity),
            ApiCell::number(r.cycleCount),
            time,
            address,
            ApiCell::text(poorNow ? "now" : f ? Forecast::statusName(f->status) : "unknown"),
            f && !poorNow ? dayCell(f->day) : ApiCell::null(),
            f && !poorNow ? dayCell(f->earliestDay) : ApiCell::null(),
            f && !poorNow ? dayCell(f->latestDay) : ApiCell::null(),
            fitted ? ApiCell::number(std::round(f->slopePerYear * 100.0) / 100.0) : ApiCell::null(),
            fitted && f->days > 0 ? ApiCell::text(Forecast::modelName(f->model)) : ApiCell::null(),
            fitted ? dayCell(f->sinceDay) : ApiCell::null(),
            f ? dayCell(f->riseDay) : ApiCell::null(),
            doubt.isEmpty() ? ApiCell::null() : ApiCell::text(doubt)};
}

QList<QJsonValue> batteryRow(const BatteryRecord &r, const std::optional<Forecast> &f, const TypeNames &types)
{
    const BatteryCells cells = batteryCells(r, f, types);
    QList<QJsonValue> row;
    row.reserve(qsizetype(cells.size()));
    for (const ApiCell &cell : cells)
        row.append(cell.toJson());
    return row;
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
    char text[40];
    const int n = timeInto(secondsSinceEpoch, text);
    return n < 0 ? fallbackTimeText(secondsSinceEpoch) : QString::fromLatin1(text, n);
}

QString dayText(qint64 daysSinceEpoch)
{
    char text[64];
    return QString::fromLatin1(text, dayInto(daysSinceEpoch, text));
}

ApiTable batteries(const QList<BatteryRecord> &records, const QHash<QByteArray, Forecast> &forecasts,
                   const TypeNames &types)
{
    ApiTable table(batteryColumns());
    for (const BatteryRecord &r : records)
        table.addRow(batteryRow(r, forecastOf(forecasts, r), types));
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
