#include "PageParts.h"

#include "ApiViews.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace NVL::Engineering::VK::PageParts {

namespace {

constexpr const char *Names[] = {"Poor", "Fair", "Good", "Excellent"};
constexpr const char *Keys[] = {"poor", "fair", "good", "excellent"};
// Up for the best, down for the worst.
constexpr const char *Shapes[] = {"\xE2\x96\xBC", "\xE2\x97\x86", "\xE2\x97\x8F", "\xE2\x96\xB2"}; // ▼ ◆ ● ▲

int clampClass(int healthClass)
{
    return std::clamp(healthClass, 0, 3);
}

} // namespace

const char *className(int healthClass)
{
    return Names[clampClass(healthClass)];
}

const char *classKey(int healthClass)
{
    return Keys[clampClass(healthClass)];
}

QByteArray classBadge(int healthClass)
{
    const int c = clampClass(healthClass);
    return QByteArrayLiteral("<span class=\"badge c-") + Keys[c] + "\"><span class=\"shape\" aria-hidden=\"true\">"
        + Shapes[c] + "</span>" + Names[c] + "</span>";
}

QString forecastText(const FleetIndex::Entry &entry)
{
    return entry.outlook().text(entry.forecast.brief());
}

QString forecastText(const std::optional<Forecast> &forecast)
{
    if (!forecast)
        return QStringLiteral("not yet fitted");
    switch (forecast->status) {
    case Forecast::Status::Now: return QStringLiteral("Poor now");
    case Forecast::Status::Date:
        return forecast->day ? ApiViews::dayText(*forecast->day) : QStringLiteral("not yet fitted");
    case Forecast::Status::BeyondCap: return QStringLiteral("over 10 years");
    case Forecast::Status::NoDecline: return QStringLiteral("no decline");
    case Forecast::Status::NotEnoughHistory: return QStringLiteral("too little history");
    }
    return QString();
}

QString localTime(qint64 secondsSinceEpoch)
{
    std::tm local{};
    long offset = 0;
    if (!ApiViews::localCalendar(secondsSinceEpoch, local, offset))
        return QString();
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min);
    return QString::fromLatin1(text);
}

QString serialShown(const BatteryRecord &record)
{
    const QString text = serialText(record);
    return text.isEmpty() ? serialKeyText(record.serialKey()) : text;
}

QByteArray batteryPath(const BatteryRecord &record)
{
    return QByteArrayLiteral("/batteries/") + serialKeyText(record.serialKey()).toLatin1();
}

QByteArray notFoundPage(const QString &what, bool signOut)
{
    Html h;
    h.raw("<h1>Not found</h1>\n<section><p>").text(what).raw("</p><p><a href=\"/batteries\">All batteries</a> \xC2\xB7 "
                                                          "<a href=\"/\">Fleet overview</a></p></section>\n");
    return Html::page(QStringLiteral("Not found"), Html::Section::Batteries, h.take(), signOut);
}

} // namespace NVL::Engineering::VK::PageParts
