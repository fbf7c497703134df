#pragma once

#include "BatteryRecord.h"
#include "Forecast.h"
#include "PackedForecast.h"

#include <QByteArray>
#include <QHash>
#include <QList>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace NVL::Engineering::VK {

// The newest record and the forecast of every battery in memory, for the radios' list, the dashboard and
// the metrics: a page of a large fleet is sorted and filtered here instead of read from vk.db while
// radios wait. Kept current by the server as reports are committed, batteries deleted and forecasts
// fitted. About 150 bytes a battery: texts are made from the record when asked for.
class FleetIndex
{
public:
    struct Entry
    {
        BatteryRecord record;
        PackedForecast forecast;
        quint8 percent = 0;
        quint8 healthClass = 0;
    };

    void clear();
    // Reports just committed; a record that is not valid leaves the list, as vk.db's reader leaves it out.
    void update(const QList<BatteryRecord> &records);
    void update(const BatteryRecord &record);
    void remove(const QByteArray &serial);
    void setForecast(const QByteArray &serial, const Forecast &forecast);
    void setForecasts(const QHash<QByteArray, Forecast> &forecasts);

    // In no particular order.
    const std::deque<Entry> &entries() const { return m_entries; }
    std::size_t size() const { return m_entries.size(); }
    // In ascending byte order of the serial, as vk.db lists its rows.
    std::vector<const Entry *> ordered() const;
    // The same order by position, for readers that take the fleet in slices: the first position whose
    // serial is not below the given one (as orderKey gives it), and the entry and key at a position.
    std::size_t orderedFrom(quint64 key) const;
    const Entry &orderedAt(std::size_t position) const { return m_entries[m_orderSlots[position]]; }
    quint64 orderKeyAt(std::size_t position) const { return m_orderKeys[position]; }
    // The serial's bytes as one number that sorts as they do.
    static quint64 orderKey(const quint8 *serial);
    const Entry *find(const QByteArray &serial) const;
    // Key, serial, ESN and alias in lower case, one per line: what the text filter searches.
    static void searchText(const BatteryRecord &record, QByteArray &out);

    // Told of every battery about to leave, until the returned number is given to unwatchRemovals: a
    // reader that promised a peer the fleet as it stood can still give what left meanwhile.
    using RemovalWatcher = std::function<void(const BatteryRecord &)>;
    int watchRemovals(RemovalWatcher watcher);
    void unwatchRemovals(int id);

    // Batteries per health class: Poor, Fair, Good, Excellent.
    std::array<qint64, 4> classCounts() const { return m_counts; }

private:
    Entry &put(const BatteryRecord &record);
    static quint64 slotKey(const QByteArray &serial);

    // A deque grows without copying what it holds: a vector's doubling would hold a large fleet twice.
    std::deque<Entry> m_entries;
    QHash<quint64, std::uint32_t> m_slots;
    // Keys and slots in ascending serial order, kept as batteries come and go: a fleet of a million
    // sorted at every whole-fleet reader would hold the radios for a tenth of a second each time.
    std::vector<quint64> m_orderKeys;
    std::vector<std::uint32_t> m_orderSlots;
    std::map<int, RemovalWatcher> m_removalWatchers;
    int m_lastWatcher = 0;
    std::array<qint64, 4> m_counts{};
};

} // namespace NVL::Engineering::VK
