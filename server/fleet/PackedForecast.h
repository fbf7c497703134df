#pragma once

#include "Forecast.h"

#include <QtGlobal>

#include <limits>
#include <optional>

namespace NVL::Engineering::VK {

// A battery's forecast as the fleet index keeps it: some 70 bytes instead of 180, days as 32-bit numbers,
// the level figures in single precision and the places of its reports encoded. Read like an optional
// forecast; each read decodes it.
class PackedForecast
{
public:
    PackedForecast() = default;
    PackedForecast &operator=(const Forecast &forecast);
    PackedForecast &operator=(std::nullopt_t);

    explicit operator bool() const { return m_present; }
    bool has_value() const { return m_present; }
    // The whole forecast, its places included.
    Forecast operator*() const { return decoded(true); }
    operator std::optional<Forecast>() const;
    // For reads of the figures such as `entry.forecast->status` in passes over the whole fleet: decoded
    // without the places (places() has them), and living until the expression ends.
    struct Decoded
    {
        Forecast forecast;
        const Forecast *operator->() const { return &forecast; }
    };
    Decoded operator->() const { return {decoded(false)}; }
    std::optional<Forecast> brief() const { return m_present ? std::optional<Forecast>(decoded(false)) : std::nullopt; }
    ReportPlaces places() const;

private:
    static constexpr qint32 NoDay = std::numeric_limits<qint32>::min();
    Forecast decoded(bool withPlaces) const;

    qint32 m_day = NoDay;
    qint32 m_earliestDay = NoDay;
    qint32 m_latestDay = NoDay;
    qint32 m_sinceDay = NoDay;
    double m_slopePerYear = 0; // shown to hundredths: kept exact
    float m_level = 0;
    float m_priorLevel = 0;
    float m_priorSlopePerYear = 0;
    QByteArray m_places; // ReportPlaces::encoded(), empty when none
    quint16 m_days = 0;
    quint8 m_status = 0;
    quint8 m_model = 0;
    bool m_present = false;
};

} // namespace NVL::Engineering::VK
