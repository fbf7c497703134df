#pragma once

#include "BatteryRecord.h"
#include "Forecast.h"
#include "PackedForecast.h"
#include "ReplacementOutlook.h"
#include "TypeNames.h"

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
// fitted. About 140 bytes a battery, 128 of them the entry: texts are made from the record when asked
// for, and a battery is found by its serial in the serial order, which is kept anyway, not in a hash.
//
// Threads: the server's event loop alone owns and changes it; insight copies it there in slices, and
// nothing reads it from another thread.
class FleetIndex
{
public:
    struct Entry
    {
        BatteryRecord record;
        PackedForecast forecast;
        quint8 percent = 0;
        quint8 healthClass = 0;

        // What every view tells of its replacement (ReplacementOutlook).
        ReplacementOutlook outlook() const { return ReplacementOutlook::of(record, healthClass, forecast.brief()); }
    };
    static_assert(sizeof(Entry) == 128, "a million batteries in 128 MB");

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
    // In ascending byte order of the serial, as vk.db lists its rows, for readers that take the fleet in
    // slices while batteries come and go: a cursor finds its place again by serial. Each battery present
    // throughout is met once.
    struct Cursor
    {
        quint64 key = 0; // of the battery last given
        quint64 from = 0;
        bool done = false;
        std::size_t bulk = 0;
        std::size_t fresh = 0;
        quint64 generation = ~quint64(0);
    };
    // The next battery in serial order, or null at the end.
    const Entry *next(Cursor &cursor) const;
    // Every battery's key (orderKey) in serial order.
    std::vector<quint64> orderedKeys() const;
    // The serial's bytes as one number that sorts as they do.
    static quint64 orderKey(const quint8 *serial);
    const Entry *find(const QByteArray &serial) const;
    // By the serial's orderKey: no bytes to make for a battery looked up at every report.
    const Entry *find(quint64 key) const;
    // Key, serial, ESN and alias in lower case, one per line: what the text filter searches.
    static void searchText(const BatteryRecord &record, QByteArray &out);

    // Told of every battery about to leave, until the returned number is given to unwatchRemovals: a
    // reader that promised a peer the fleet as it stood can still give what left meanwhile.
    using RemovalWatcher = std::function<void(const BatteryRecord &)>;
    int watchRemovals(RemovalWatcher watcher);
    void unwatchRemovals(int id);

    // Batteries per health class: Poor, Fair, Good, Excellent.
    std::array<qint64, 4> classCounts() const { return m_counts; }
    // Batteries due (ReplacementOutlook::dueBy) within each span of days from `today`, in one pass.
    template<std::size_t N>
    std::array<qint64, N> dueWithin(const std::array<int, N> &spans, qint64 today) const
    {
        std::array<qint64, N> counts{};
        for (const Entry &e : m_entries) {
            const ReplacementOutlook outlook = e.outlook();
            for (std::size_t i = 0; i < N; ++i)
                counts[i] += outlook.dueBy(today + spans[i]) ? 1 : 0;
        }
        return counts;
    }

    // Names of type codes ([types] of vk.cfg), set once at start, before any reader runs.
    void setTypeNames(const TypeNames &names) { m_typeNames = names; }
    QString typeName(quint32 code) const { return m_typeNames.nameOf(code); }
    const TypeNames &typeNames() const { return m_typeNames; }

private:
    Entry &put(const BatteryRecord &record);

    // A deque grows without copying what it holds: a vector's doubling would hold a large fleet twice.
    std::deque<Entry> m_entries;
    // Serial order, kept as batteries come and go (a fleet of a million sorted at every whole-fleet reader
    // would hold the radios for a tenth of a second each time), in two sorted runs: the bulk, and the
    // batteries new since the last merge, so that a new battery moves a few thousand keys, not a million.
    static constexpr std::size_t FreshRunLimit = 4096;
    void insertOrder(quint64 key, std::uint32_t slot);
    void removeOrder(quint64 key);
    std::uint32_t *orderSlotOf(quint64 key);
    const std::uint32_t *orderSlotOf(quint64 key) const;
    const std::uint32_t *slotOf(const QByteArray &serial) const;
    void mergeRuns();
    std::vector<quint64> m_bulkKeys;
    std::vector<std::uint32_t> m_bulkSlots;
    std::vector<quint64> m_freshKeys;
    std::vector<std::uint32_t> m_freshSlots;
    quint64 m_generation = 0; // counts changes of the order: cursors find their place again
    std::map<int, RemovalWatcher> m_removalWatchers;
    int m_lastWatcher = 0;
    std::array<qint64, 4> m_counts{};
    TypeNames m_typeNames;
};

} // namespace NVL::Engineering::VK
