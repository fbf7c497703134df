#include "PackedForecast.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

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

// The places in as few bytes as a battery of one or two homes fits in place: counts as base-128
// numbers, each address after its length, the shares until the bytes end.
void putCount(QByteArray &out, int count)
{
    auto value = quint32(count);
    for (; value >= 0x80; value >>= 7)
        out += char(0x80 | (value & 0x7F));
    out += char(value);
}

void putAddress(QByteArray &out, const QByteArray &address)
{
    out += char(quint8(std::min<qsizetype>(address.size(), 255)));
    out += address.left(255);
}

QByteArray encodePlaces(const ReportPlaces &places)
{
    QByteArray out;
    putCount(out, places.points);
    putAddress(out, places.newest);
    for (const ReportPlaces::Share &share : places.shares) {
        putAddress(out, share.address);
        putCount(out, share.points);
    }
    return out;
}

class PlacesReader
{
public:
    explicit PlacesReader(const QByteArray &bytes)
        : m_at(bytes.constData())
        , m_end(bytes.constData() + bytes.size())
    {
    }
    bool atEnd() const { return m_at == m_end; }
    bool failed() const { return m_failed; }
    int count()
    {
        quint32 value = 0;
        for (int shift = 0; shift < 35 && m_at < m_end; shift += 7) {
            const auto byte = quint8(*m_at++);
            value |= quint32(byte & 0x7F) << shift;
            if (!(byte & 0x80))
                return int(value);
        }
        m_failed = true;
        return 0;
    }
    QByteArray address()
    {
        if (m_at == m_end || m_end - m_at - 1 < quint8(*m_at)) {
            m_failed = true;
            return {};
        }
        const int size = quint8(*m_at++);
        m_at += size;
        return size == 0 ? QByteArray() : QByteArray(m_at - size, size);
    }

private:
    const char *m_at;
    const char *m_end;
    bool m_failed = false;
};

ReportPlaces decodePlaces(const QByteArray &bytes)
{
    ReportPlaces places;
    if (bytes.isEmpty())
        return places;
    PlacesReader in(bytes);
    places.points = in.count();
    places.newest = in.address();
    while (!in.atEnd() && !in.failed()) {
        ReportPlaces::Share share;
        share.address = in.address();
        share.points = in.count();
        places.shares.append(share);
    }
    return in.failed() ? ReportPlaces() : places;
}

} // namespace

PackedForecast::PackedForecast(const PackedForecast &other)
{
    *this = other;
}

PackedForecast::PackedForecast(PackedForecast &&other) noexcept
{
    *this = std::move(other);
}

PackedForecast &PackedForecast::operator=(const PackedForecast &other)
{
    if (this == &other)
        return *this;
    release();
    std::memcpy(static_cast<void *>(this), &other, sizeof *this);
    if (other.m_placesSize == Spilled) {
        QByteArray *copy = new QByteArray(*other.spill());
        std::memcpy(m_places, &copy, sizeof copy);
    }
    return *this;
}

PackedForecast &PackedForecast::operator=(PackedForecast &&other) noexcept
{
    if (this == &other)
        return *this;
    release();
    std::memcpy(static_cast<void *>(this), &other, sizeof *this);
    // The spilled bytes, if any, are this one's now.
    other.m_placesSize = 0;
    return *this;
}

PackedForecast::~PackedForecast()
{
    release();
}

void PackedForecast::release()
{
    if (m_placesSize == Spilled)
        delete spill();
    m_placesSize = 0;
}

QByteArray *PackedForecast::spill() const
{
    QByteArray *bytes = nullptr;
    std::memcpy(&bytes, m_places, sizeof bytes);
    return bytes;
}

void PackedForecast::setPlaces(const QByteArray &bytes)
{
    release();
    if (bytes.size() <= InlinePlaces) {
        std::memcpy(m_places, bytes.constData(), size_t(bytes.size()));
        m_placesSize = quint8(bytes.size());
        return;
    }
    QByteArray *owned = new QByteArray(bytes);
    std::memcpy(m_places, &owned, sizeof owned);
    m_placesSize = Spilled;
}

QByteArray PackedForecast::placesBytes() const
{
    return m_placesSize == Spilled ? *spill() : QByteArray(m_places, m_placesSize);
}

PackedForecast &PackedForecast::operator=(const Forecast &f)
{
    m_day = packDay(f.day, NoDay);
    m_earliestDay = packDay(f.earliestDay, NoDay);
    m_latestDay = packDay(f.latestDay, NoDay);
    m_sinceDay = packDay(f.sinceDay, NoDay);
    m_riseDay = packDay(f.riseDay, NoDay);
    m_slopePerYear = float(f.slopePerYear);
    m_level = float(f.level);
    m_priorLevel = qint16(std::clamp(std::lround(f.priorLevel * 100), -32767L, 32767L));
    m_riseFrom = quint8(std::clamp(std::lround(f.riseFrom), 0L, 255L));
    m_noise = quint8(std::clamp(std::lround(f.noise * 10), 0L, 255L));
    m_priorSlopePerYear = float(f.priorSlopePerYear);
    m_days = quint16(std::clamp(f.days, 0, int(std::numeric_limits<quint16>::max())));
    m_status = quint8(f.status);
    m_model = quint8(f.model);
    setPlaces(f.places.isEmpty() ? QByteArray() : encodePlaces(f.places));
    return *this;
}

PackedForecast &PackedForecast::operator=(std::nullopt_t)
{
    *this = PackedForecast();
    return *this;
}

PackedForecast::operator std::optional<Forecast>() const
{
    return has_value() ? std::optional<Forecast>(decoded(true)) : std::nullopt;
}

std::optional<qint64> PackedForecast::day() const
{
    return unpackDay(m_day, NoDay);
}

ReportPlaces PackedForecast::places() const
{
    return m_placesSize == 0 ? ReportPlaces() : decodePlaces(placesBytes());
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
    f.riseDay = unpackDay(m_riseDay, NoDay);
    f.slopePerYear = m_slopePerYear;
    f.level = m_level;
    f.priorLevel = m_priorLevel / 100.0;
    f.riseFrom = m_riseFrom;
    f.noise = m_noise / 10.0;
    f.priorSlopePerYear = m_priorSlopePerYear;
    f.days = m_days;
    if (withPlaces)
        f.places = places();
    return f;
}

} // namespace NVL::Engineering::VK
