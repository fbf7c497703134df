#include "FleetIndex.h"

#include <QString>
#include <QStringList>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace NVL::Engineering::VK {

void FleetIndex::clear()
{
    m_entries.clear();
    m_slots.clear();
    m_orderKeys.clear();
    m_orderSlots.clear();
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

quint64 FleetIndex::orderKey(const quint8 *serial)
{
    return qFromBigEndian<quint64>(serial);
}

FleetIndex::Entry &FleetIndex::put(const BatteryRecord &record)
{
    const QByteArray key = record.serialKey();
    auto slot = m_slots.constFind(slotKey(key));
    if (slot == m_slots.constEnd()) {
        slot = m_slots.insert(slotKey(key), std::uint32_t(m_entries.size()));
        m_entries.emplace_back();
        // vk.db is read in serial order at the start: then every battery goes at the end.
        const quint64 order = orderKey(record.serial);
        const std::size_t position = orderedFrom(order);
        m_orderKeys.insert(m_orderKeys.begin() + std::ptrdiff_t(position), order);
        m_orderSlots.insert(m_orderSlots.begin() + std::ptrdiff_t(position), *slot);
    } else {
        --m_counts[m_entries[*slot].healthClass];
    }
    Entry &entry = m_entries[*slot];
    entry.record = record;
    entry.percent = quint8(std::clamp(healthPercentage(record), 0, 255));
    entry.healthClass = quint8(healthClass(record));
    ++m_counts[entry.healthClass];
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
    --m_counts[m_entries[index].healthClass];
    m_slots.erase(slot);
    const std::size_t position = orderedFrom(orderKey(m_entries[index].record.serial));
    m_orderKeys.erase(m_orderKeys.begin() + std::ptrdiff_t(position));
    m_orderSlots.erase(m_orderSlots.begin() + std::ptrdiff_t(position));
    // The last entry takes the freed place.
    const std::size_t last = m_entries.size() - 1;
    if (index != last) {
        m_orderSlots[orderedFrom(orderKey(m_entries[last].record.serial))] = std::uint32_t(index);
        m_entries[index] = m_entries.back();
        m_slots[slotKey(m_entries[index].record.serialKey())] = std::uint32_t(index);
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
    result.reserve(m_orderSlots.size());
    for (const std::uint32_t slot : m_orderSlots)
        result.push_back(&m_entries[slot]);
    return result;
}

std::size_t FleetIndex::orderedFrom(quint64 key) const
{
    return std::size_t(std::lower_bound(m_orderKeys.cbegin(), m_orderKeys.cend(), key) - m_orderKeys.cbegin());
}

const FleetIndex::Entry *FleetIndex::find(const QByteArray &serial) const
{
    if (serial.size() != 8)
        return nullptr;
    const auto slot = m_slots.constFind(slotKey(serial));
    return slot == m_slots.constEnd() ? nullptr : &m_entries[*slot];
}

void FleetIndex::searchText(const BatteryRecord &record, QByteArray &out)
{
    // Made for every battery of every text search: no allocation once `out` has grown, the same bytes as
    // the texts' own lower case.
    static const char Digits[] = "0123456789abcdef";
    const auto hex = [&out](const quint8 *bytes, int count) {
        for (int i = 0; i < count; ++i) {
            out += Digits[bytes[i] >> 4];
            out += Digits[bytes[i] & 0xF];
        }
    };
    out.resize(0);
    hex(record.serial, 8);
    out += '\n';
    if (record.typeCode == SelfMeasuringTypeA || record.typeCode == SelfMeasuringTypeB) {
        if (record.kindFlag == 1) {
            hex(record.serial + 2, 5);
        } else {
            if (record.typeCode == SelfMeasuringTypeA)
                out += QString::fromUtf8(reinterpret_cast<const char *>(record.serial + 2), 1).toLower().toUtf8();
            hex(record.serial + 3, 5);
        }
    }
    out += '\n';
    hex(record.esn, 8);
    out += '\n';
    const auto end = std::find(record.alias, record.alias + sizeof record.alias, '\0');
    if (std::all_of(record.alias, end, [](char c) { return quint8(c) < 0x80; })) {
        for (const char *c = record.alias; c != end; ++c)
            out += (*c >= 'A' && *c <= 'Z') ? char(*c - 'A' + 'a') : *c;
    } else {
        out += QString::fromUtf8(record.alias, int(end - record.alias)).toLower().toUtf8();
    }
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

} // namespace NVL::Engineering::VK
