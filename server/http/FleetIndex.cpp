#include "FleetIndex.h"

#include "ApiViews.h"

namespace NVL::Engineering::VK {

void FleetIndex::load(const QList<BatteryRecord> &records, const QHash<QByteArray, Forecast> &forecasts)
{
    m_entries.clear();
    m_slots.clear();
    m_counts = {};
    m_entries.reserve(std::size_t(records.size()));
    for (const BatteryRecord &record : records) {
        const auto forecast = forecasts.constFind(record.serialKey());
        if (forecast != forecasts.constEnd())
            put(record).forecast = *forecast;
        else
            put(record);
    }
}

void FleetIndex::update(const QList<BatteryRecord> &records)
{
    for (const BatteryRecord &record : records) {
        if (isValidRecord(record.toBytes()))
            put(record);
        else
            remove(record.serialKey());
    }
}

FleetIndex::Entry &FleetIndex::put(const BatteryRecord &record)
{
    const QByteArray key = record.serialKey();
    auto slot = m_slots.constFind(key);
    if (slot == m_slots.constEnd()) {
        slot = m_slots.insert(key, m_entries.size());
        m_entries.emplace_back();
    } else {
        --m_counts[std::size_t(m_entries[*slot].healthClass)];
    }
    Entry &entry = m_entries[*slot];
    entry.record = record;
    entry.percent = healthPercentage(record);
    entry.healthClass = healthClass(record);
    ++m_counts[std::size_t(entry.healthClass)];
    entry.search = QStringList{ApiViews::serialKeyText(key), serialText(record), esnText(record), aliasText(record)}
                       .join(QLatin1Char('\n'))
                       .toLower()
                       .toUtf8();
    return entry;
}

void FleetIndex::remove(const QByteArray &serial)
{
    const auto slot = m_slots.find(serial);
    if (slot == m_slots.end())
        return;
    const std::size_t index = *slot;
    --m_counts[std::size_t(m_entries[index].healthClass)];
    m_slots.erase(slot);
    // The last entry takes the freed place.
    if (index + 1 != m_entries.size()) {
        m_entries[index] = std::move(m_entries.back());
        m_slots[m_entries[index].record.serialKey()] = index;
    }
    m_entries.pop_back();
}

void FleetIndex::setForecasts(const QHash<QByteArray, Forecast> &forecasts)
{
    for (auto it = forecasts.cbegin(); it != forecasts.cend(); ++it) {
        const auto slot = m_slots.constFind(it.key());
        if (slot != m_slots.constEnd())
            m_entries[*slot].forecast = it.value();
    }
}

const FleetIndex::Entry *FleetIndex::find(const QByteArray &serial) const
{
    const auto slot = m_slots.constFind(serial);
    return slot == m_slots.constEnd() ? nullptr : &m_entries[*slot];
}

} // namespace NVL::Engineering::VK
