#include "PackedForecast.h"

#include <algorithm>

namespace NVL::Engineering::VK {

namespace {

qint32 packDay(const std::optional<qint64> &day, qint32 none)
{
    // Days since 1970 fit 32 bits for millions of years; a corrupt value is clamped, not wrapped.
    return day ? qint32(std::clamp<qint64>(*day, none + qint64(1), std::numeric_limits<qint32>::max())) : none;
}

std::optional<qint64> unpackDay(qint32 day, qint32 none)
{
    return day == none ? std::nullopt : std::optional<qint64>(day);
}

} // namespace

PackedForecast &PackedForecast::operator=(const Forecast &f)
{
    m_day = packDay(f.day, NoDay);
    m_earliestDay = packDay(f.earliestDay, NoDay);
    m_latestDay = packDay(f.latestDay, NoDay);
    m_sinceDay = packDay(f.sinceDay, NoDay);
    m_slopePerYear = f.slopePerYear;
    m_level = float(f.level);
    m_priorLevel = float(f.priorLevel);
    m_priorSlopePerYear = float(f.priorSlopePerYear);
    m_days = quint16(std::clamp(f.days, 0, int(std::numeric_limits<quint16>::max())));
    m_status = quint8(f.status);
    m_model = quint8(f.model);
    m_places = f.places.isEmpty() ? QByteArray() : f.places.encoded();
    m_present = true;
    return *this;
}

PackedForecast &PackedForecast::operator=(std::nullopt_t)
{
    *this = PackedForecast();
    return *this;
}

PackedForecast::operator std::optional<Forecast>() const
{
    return m_present ? std::optional<Forecast>(decoded(true)) : std::nullopt;
}

ReportPlaces PackedForecast::places() const
{
    return m_places.isEmpty() ? ReportPlaces() : ReportPlaces::decoded(m_places);
}

Forecast PackedForecast::decoded(bool withPlaces) const
{
    Forecast f;
    f.status = Forecast::Status(m_status);
    f.model = Forecast::Model(m_model);
    f.day = unpackDay(m_day, NoDay);
    f.earliestDay = unpackDay(m_earliestDay, NoDay);
    f.latestDay = unpackDay(m_latestDay, NoDay);
    f.sinceDay = unpackDay(m_sinceDay, NoDay);
    f.slopePerYear = m_slopePerYear;
    f.level = m_level;
    f.priorLevel = m_priorLevel;
    f.priorSlopePerYear = m_priorSlopePerYear;
    f.days = m_days;
    if (withPlaces && !m_places.isEmpty())
        f.places = ReportPlaces::decoded(m_places);
    return f;
}

} // namespace NVL::Engineering::VK
