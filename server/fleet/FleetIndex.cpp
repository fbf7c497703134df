#include "FleetIndex.h"

#include <QString>
#include <QStringList>
#include <QtEndian>

#include <algorithm>
#include <limits>
#include <cstring>
#include <utility>

namespace NVL::Engineering::VK {

void FleetIndex::clear()
{
    m_entries.clear();
    m_bulkKeys.clear();
    m_bulkSlots.clear();
    m_freshKeys.clear();
    m_freshSlots.clear();
    ++m_generation;
    m_counts = {};
}

void FleetIndex::update(const QList<BatteryRecord> &records)
{
    for (const BatteryRecord &record : records)
        update(record);
}

void FleetIndex::update(const BatteryRecord &record)
{
    if (isValidRecord(record))
        put(record);
    else
        remove(record.serialKey());
}

quint64 FleetIndex::orderKey(const quint8 *serial)
{
    return qFromBigEndian<quint64>(serial);
}

FleetIndex::Entry &FleetIndex::put(const BatteryRecord &record)
{
    const quint64 key = orderKey(record.serial);
    std::uint32_t index = 0;
    if (const std::uint32_t *slot = orderSlotOf(key)) {
        index = *slot;
        --m_counts[m_entries[index].healthClass];
    } else {
        index = std::uint32_t(m_entries.size());
        m_entries.emplace_back();
        insertOrder(key, index);
    }
    Entry &entry = m_entries[index];
    entry.record = record;
    entry.percent = quint8(std::clamp(healthPercentage(record), 0, 255));
    entry.healthClass = quint8(healthClass(record));
    Q_ASSERT(entry.healthClass < m_counts.size());
    ++m_counts[entry.healthClass];
    // Every entry has one place in the serial order, and each class counts what it holds.
    Q_ASSERT(m_bulkKeys.size() + m_freshKeys.size() == m_entries.size());
    return entry;
}

void FleetIndex::remove(const QByteArray &serial)
{
    const std::uint32_t *slot = slotOf(serial);
    if (!slot)
        return;
    const std::size_t index = *slot;
    for (const auto &watcher : m_removalWatchers)
        watcher.second(m_entries[index].record);
    --m_counts[m_entries[index].healthClass];
    removeOrder(orderKey(m_entries[index].record.serial));
    // The last entry takes the freed place.
    const std::size_t last = m_entries.size() - 1;
    if (index != last) {
        if (std::uint32_t *moved = orderSlotOf(orderKey(m_entries[last].record.serial)))
            *moved = std::uint32_t(index);
        m_entries[index] = std::move(m_entries.back());
    }
    m_entries.pop_back();
    Q_ASSERT(m_bulkKeys.size() + m_freshKeys.size() == m_entries.size());
    Q_ASSERT(std::all_of(m_counts.cbegin(), m_counts.cend(), [](qint64 count) { return count >= 0; }));
}

void FleetIndex::setForecast(const QByteArray &serial, const Forecast &forecast)
{
    if (const std::uint32_t *slot = slotOf(serial))
        m_entries[*slot].forecast = forecast;
}

void FleetIndex::setForecasts(const QHash<QByteArray, Forecast> &forecasts)
{
    for (auto it = forecasts.cbegin(); it != forecasts.cend(); ++it)
        setForecast(it.key(), it.value());
}

std::vector<quint64> FleetIndex::orderedKeys() const
{
    std::vector<quint64> keys(m_bulkKeys.size() + m_freshKeys.size());
    std::merge(m_bulkKeys.cbegin(), m_bulkKeys.cend(), m_freshKeys.cbegin(), m_freshKeys.cend(), keys.begin());
    return keys;
}

const FleetIndex::Entry *FleetIndex::next(Cursor &cursor) const
{
    if (cursor.done)
        return nullptr;
    if (cursor.generation != m_generation) {
        cursor.bulk = std::size_t(std::lower_bound(m_bulkKeys.cbegin(), m_bulkKeys.cend(), cursor.from) - m_bulkKeys.cbegin());
        cursor.fresh =
            std::size_t(std::lower_bound(m_freshKeys.cbegin(), m_freshKeys.cend(), cursor.from) - m_freshKeys.cbegin());
        cursor.generation = m_generation;
    }
    const bool bulk = cursor.bulk < m_bulkKeys.size();
    const bool fresh = cursor.fresh < m_freshKeys.size();
    if (!bulk && !fresh) {
        cursor.done = true;
        return nullptr;
    }
    std::uint32_t slot = 0;
    if (bulk && (!fresh || m_bulkKeys[cursor.bulk] < m_freshKeys[cursor.fresh])) {
        cursor.key = m_bulkKeys[cursor.bulk];
        slot = m_bulkSlots[cursor.bulk++];
    } else {
        cursor.key = m_freshKeys[cursor.fresh];
        slot = m_freshSlots[cursor.fresh++];
    }
    cursor.done = cursor.key == std::numeric_limits<quint64>::max();
    cursor.from = cursor.key + 1;
    return &m_entries[slot];
}

void FleetIndex::insertOrder(quint64 key, std::uint32_t slot)
{
    ++m_generation;
    // vk.db is read in serial order at the start: then every battery goes at the end of the bulk.
    if (m_freshKeys.empty() && (m_bulkKeys.empty() || m_bulkKeys.back() < key)) {
        m_bulkKeys.push_back(key);
        m_bulkSlots.push_back(slot);
        return;
    }
    const auto at = std::lower_bound(m_freshKeys.begin(), m_freshKeys.end(), key) - m_freshKeys.begin();
    m_freshKeys.insert(m_freshKeys.begin() + at, key);
    m_freshSlots.insert(m_freshSlots.begin() + at, slot);
    if (m_freshKeys.size() >= FreshRunLimit)
        mergeRuns();
}

void FleetIndex::mergeRuns()
{
    // From the back, in place: the bulk grows by the fresh run alone, where a new pair of vectors of the
    // whole fleet at every merge cost a fifth of ingest's time in fresh pages. Growth by an eighth keeps
    // the copies rare without a doubling's idle half.
    const std::size_t total = m_bulkKeys.size() + m_freshKeys.size();
    if (m_bulkKeys.capacity() < total) {
        const std::size_t room = total + std::max(total / 8, FreshRunLimit);
        m_bulkKeys.reserve(room);
        m_bulkSlots.reserve(room);
    }
    std::size_t b = m_bulkKeys.size(), f = m_freshKeys.size();
    m_bulkKeys.resize(total);
    m_bulkSlots.resize(total);
    for (std::size_t i = total; f > 0;) {
        --i;
        if (b > 0 && m_bulkKeys[b - 1] > m_freshKeys[f - 1]) {
            --b;
            m_bulkKeys[i] = m_bulkKeys[b];
            m_bulkSlots[i] = m_bulkSlots[b];
        } else {
            --f;
            m_bulkKeys[i] = m_freshKeys[f];
            m_bulkSlots[i] = m_freshSlots[f];
        }
    }
    Q_ASSERT(b == 0 || std::is_sorted(m_bulkKeys.cbegin(), m_bulkKeys.cend()));
    m_freshKeys.clear();
    m_freshSlots.clear();
    ++m_generation;
}

void FleetIndex::removeOrder(quint64 key)
{
    ++m_generation;
    for (auto *run : {&m_freshKeys, &m_bulkKeys}) {
        const auto it = std::lower_bound(run->begin(), run->end(), key);
        if (it == run->end() || *it != key)
            continue;
        auto &runSlots = run == &m_freshKeys ? m_freshSlots : m_bulkSlots;
        runSlots.erase(runSlots.begin() + (it - run->begin()));
        run->erase(it);
        return;
    }
}

std::uint32_t *FleetIndex::orderSlotOf(quint64 key)
{
    return const_cast<std::uint32_t *>(std::as_const(*this).orderSlotOf(key));
}

const std::uint32_t *FleetIndex::orderSlotOf(quint64 key) const
{
    // A fleet read from vk.db in serial order only ever adds at the end of the bulk: no search for it.
    if (m_freshKeys.empty() && (m_bulkKeys.empty() || m_bulkKeys.back() < key))
        return nullptr;
    for (const auto *run : {&m_freshKeys, &m_bulkKeys}) {
        const auto it = std::lower_bound(run->begin(), run->end(), key);
        if (it != run->end() && *it == key)
            return &(run == &m_freshKeys ? m_freshSlots : m_bulkSlots)[std::size_t(it - run->begin())];
    }
    return nullptr;
}

const std::uint32_t *FleetIndex::slotOf(const QByteArray &serial) const
{
    if (serial.size() != 8)
        return nullptr;
    return orderSlotOf(orderKey(reinterpret_cast<const quint8 *>(serial.constData())));
}

const FleetIndex::Entry *FleetIndex::find(const QByteArray &serial) const
{
    const std::uint32_t *slot = slotOf(serial);
    return slot ? &m_entries[*slot] : nullptr;
}

const FleetIndex::Entry *FleetIndex::find(quint64 key) const
{
    const std::uint32_t *slot = orderSlotOf(key);
    return slot ? &m_entries[*slot] : nullptr;
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
