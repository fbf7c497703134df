#include "FleetIndex.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace NVL::Engineering::VK {

void FleetIndex::clear()
{
    m_entries.clear();
    m_slots.clear();
    m_order.clear();
    m_counts = {};
}

void FleetIndex::update(const QList<BatteryRecord> &records)
{
    for (const BatteryRecord &record : records)
        update(record);
}

void FleetIndex::update(const BatteryRecord &record)
{
    if (isValidRecord(record.toBytes()))
        put(record);
    else
        remove(record.serialKey());
}

quint64 FleetIndex::slotKey(const QByteArray &serial)
{
    quint64 key = 0;
    std::memcpy(&key, serial.constData(), std::min<std::size_t>(sizeof key, std::size_t(serial.size())));
    return key;
}

FleetIndex::Entry &FleetIndex::put(const BatteryRecord &record)
{
    const QByteArray key = record.serialKey();
    auto slot = m_slots.constFind(slotKey(key));
    if (slot == m_slots.constEnd()) {
        slot = m_slots.insert(slotKey(key), m_entries.size());
        m_entries.emplace_back();
        m_entries.back().record = record;
        // vk.db is read in serial order at the start: then every battery goes at the end.
        const std::size_t position = orderedFrom(orderKey(record.serial));
        m_order.insert(m_order.begin() + std::ptrdiff_t(position), std::uint32_t(*slot));
    } else {
        --m_counts[std::size_t(m_entries[*slot].healthClass)];
    }
    Entry &entry = m_entries[*slot];
    entry.record = record;
    entry.percent = healthPercentage(record);
    entry.healthClass = healthClass(record);
    ++m_counts[std::size_t(entry.healthClass)];
    entry.search = QStringList{serialKeyText(key), serialText(record), esnText(record), aliasText(record)}
                       .join(QLatin1Char('\n'))
                       .toLower()
                       .toUtf8();
    entry.search.squeeze(); // the conversion reserves three bytes a character
    return entry;
}

void FleetIndex::remove(const QByteArray &serial)
{
    if (serial.size() != 8)
        return;
    const auto slot = m_slots.find(slotKey(serial));
    if (slot == m_slots.end())
        return;
    const std::size_t index = *slot;
    for (const auto &watcher : m_removalWatchers)
        watcher.second(m_entries[index].record);
    --m_counts[std::size_t(m_entries[index].healthClass)];
    m_slots.erase(slot);
    m_order.erase(m_order.begin() + std::ptrdiff_t(orderPositionOf(index)));
    // The last entry takes the freed place.
    const std::size_t last = m_entries.size() - 1;
    if (index != last) {
        m_order[orderPositionOf(last)] = std::uint32_t(index);
        m_entries[index] = std::move(m_entries.back());
        m_slots[slotKey(m_entries[index].record.serialKey())] = index;
    }
    m_entries.pop_back();
}

void FleetIndex::setForecast(const QByteArray &serial, const Forecast &forecast)
{
    if (serial.size() != 8)
        return;
    const auto slot = m_slots.constFind(slotKey(serial));
    if (slot != m_slots.constEnd())
        m_entries[*slot].forecast = forecast;
}

void FleetIndex::setForecasts(const QHash<QByteArray, Forecast> &forecasts)
{
    for (auto it = forecasts.cbegin(); it != forecasts.cend(); ++it)
        setForecast(it.key(), it.value());
}

std::vector<const FleetIndex::Entry *> FleetIndex::ordered() const
{
    std::vector<const Entry *> result;
    result.reserve(m_order.size());
    for (const std::uint32_t slot : m_order)
        result.push_back(&m_entries[slot]);
    return result;
}

quint64 FleetIndex::orderKey(const quint8 *serial)
{
    return qFromBigEndian<quint64>(serial);
}

std::size_t FleetIndex::orderedFrom(quint64 key) const
{
    const auto it = std::partition_point(m_order.cbegin(), m_order.cend(), [this, key](std::uint32_t slot) {
        return orderKey(m_entries[slot].record.serial) < key;
    });
    return std::size_t(it - m_order.cbegin());
}

std::size_t FleetIndex::orderPositionOf(std::size_t slot) const
{
    return orderedFrom(orderKey(m_entries[slot].record.serial));
}

int FleetIndex::watchRemovals(RemovalWatcher watcher)
{
    m_removalWatchers.emplace(++m_lastWatcher, std::move(watcher));
    return m_lastWatcher;
}

void FleetIndex::unwatchRemovals(int id)
{
    m_removalWatchers.erase(id);
}

const FleetIndex::Entry *FleetIndex::find(const QByteArray &serial) const
{
    if (serial.size() != 8)
        return nullptr;
    const auto slot = m_slots.constFind(slotKey(serial));
    return slot == m_slots.constEnd() ? nullptr : &m_entries[*slot];
}

} // namespace NVL::Engineering::VK
