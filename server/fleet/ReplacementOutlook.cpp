#include "ReplacementOutlook.h"

#include <QDate>

#include <algorithm>
#include <cmath>

namespace NVL::Engineering::VK {

ReplacementOutlook ReplacementOutlook::of(const BatteryRecord &record, int healthClass, const std::optional<Forecast> &forecast)
{
    ReplacementOutlook o;
    const bool fitted = forecast && forecast->status != Forecast::Status::NotEnoughHistory && forecast->days > 0;
    if (fitted) {
        const int percent = healthPercentage(record);
        const double far = std::max(FarPoints, FarNoises * forecast->noise);
        if (percent <= 100 && std::fabs(percent - forecast->level) > far) {
            o.doubtedPercent = percent;
            o.historyLevel = forecast->level;
        }
    }
    if (healthClass == Poor) {
        o.kind = Kind::PoorNow;
        return o;
    }
    if (!forecast)
        return o;
    switch (forecast->status) {
    case Forecast::Status::Now: o.kind = Kind::AtBoundary; break;
    case Forecast::Status::Date:
        o.kind = forecast->day ? Kind::Date : Kind::Unknown;
        o.day = forecast->day;
        break;
    case Forecast::Status::BeyondCap:
    case Forecast::Status::NoDecline: o.kind = Kind::Later; break;
    case Forecast::Status::NotEnoughHistory: o.kind = Kind::Unknown; break;
    }
    return o;
}

QString ReplacementOutlook::text(const std::optional<Forecast> &forecast) const
{
    switch (kind) {
    case Kind::PoorNow: return QStringLiteral("Poor now");
    case Kind::AtBoundary: return QStringLiteral("at the boundary");
    case Kind::Date: return QDate(1970, 1, 1).addDays(*day).toString(Qt::ISODate);
    case Kind::Later:
        return forecast && forecast->status == Forecast::Status::BeyondCap ? QStringLiteral("over 10 years")
                                                                          : QStringLiteral("no decline");
    case Kind::Unknown: break;
    }
    return forecast ? QStringLiteral("too little history") : QStringLiteral("not yet fitted");
}

QString ReplacementOutlook::doubt() const
{
    if (!doubtedPercent)
        return QString();
    return QStringLiteral("the newest report, %1 %, is far %2 this battery's history of about %3 %; check the radio's reading")
        .arg(*doubtedPercent)
        .arg(*doubtedPercent < historyLevel ? QStringLiteral("below") : QStringLiteral("above"))
        .arg(std::lround(historyLevel));
}

} // namespace NVL::Engineering::VK
