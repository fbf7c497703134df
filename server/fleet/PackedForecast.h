#pragma once

#include "Forecast.h"

#include <QByteArray>
#include <QtGlobal>

#include <limits>
#include <optional>

namespace NVL::Engineering::VK {

// A battery's forecast as the fleet index keeps it, a million of them in a national fleet: 62 bytes
// instead of 180, days as 32-bit numbers, the level figures in single precision, and the places of its
// reports encoded in place (on the heap only for a battery of many places). Packed, so that an index
// entry with its record is 128 bytes. Read like an optional forecast; each read decodes it.
#pragma pack(push, 1)
class PackedForecast
{
public:
    PackedForecast() = default;
    PackedForecast(const PackedForecast &other);
    PackedForecast(PackedForecast &&other) noexcept;
    PackedForecast &operator=(const PackedForecast &other);
    PackedForecast &operator=(PackedForecast &&other) noexcept;
    ~PackedForecast();
    PackedForecast &operator=(const Forecast &forecast);
    PackedForecast &operator=(std::nullopt_t);

    explicit operator bool() const { return has_value(); }
    bool has_value() const { return m_status != Absent; }
    // The whole forecast, its places included.
    Forecast operator*() const { return decoded(true); }
    operator std::optional<Forecast>() const;
    // The figures that passes over the whole fleet read, by value: no decoded forecast to outlive.
    Forecast::Status status() const { return Forecast::Status(m_status); }
    Forecast::Model model() const { return Forecast::Model(m_model); }
    std::optional<qint64> day() const;
    // Without the places (places() has them).
    std::optional<Forecast> brief() const { return has_value() ? std::optional<Forecast>(decoded(false)) : std::nullopt; }
    ReportPlaces places() const;

private:
    static constexpr qint32 NoDay = std::numeric_limits<qint32>::min();
    static constexpr quint8 Absent = 0xFF;
    static constexpr int InlinePlaces = 21;
    static constexpr quint8 Spilled = 0xFF;
    Forecast decoded(bool withPlaces) const;
    QByteArray placesBytes() const;
    void setPlaces(const QByteArray &bytes);
    QByteArray *spill() const;
    void release();

    float m_slopePerYear = 0; // shown to hundredths: seven digits are plenty
    qint32 m_day = NoDay;
    qint32 m_earliestDay = NoDay;
    qint32 m_latestDay = NoDay;
    qint32 m_sinceDay = NoDay;
    qint32 m_riseDay = NoDay;
    float m_level = 0;
    qint16 m_priorLevel = 0; // hundredths of a point
    float m_priorSlopePerYear = 0;
    quint16 m_days = 0;
    quint8 m_status = Absent;
    quint8 m_model = 0;
    quint8 m_riseFrom = 0; // whole points
    quint8 m_noise = 0;    // tenths of a point
    // The curve and the yearly swing are the battery page's alone: it reads the whole forecast from the
    // history.
    quint8 m_placesSize = 0; // bytes in m_places, or Spilled: m_places holds an owned QByteArray *
    char m_places[InlinePlaces] = {};
};
#pragma pack(pop)

static_assert(sizeof(PackedForecast) == 62, "an index entry is a record and a packed forecast in 128 bytes");

} // namespace NVL::Engineering::VK
