#pragma once

#include "ReplyStream.h"
#include "ApiTable.h"
#include "FleetIndex.h"
#include "SortKey.h"

#include <functional>
#include <optional>
#include <vector>

namespace NVL::Engineering::VK {

// A table of batteries (the API's battery columns) written from the fleet index a part at a time, so
// that an answer about a million batteries neither holds the radios nor the memory of its whole text.
// Each row is the battery as the index holds it when the row is written. Must not outlive the index.
class FleetAnswer : public ReplyStream
{
public:
    using Filter = std::function<bool(const FleetIndex::Entry &)>;
    // The rank a battery is listed by, or none to leave it out.
    using Rank = std::function<std::optional<SortKey>(const FleetIndex::Entry &)>;

    // Every battery the filter takes, in serial order: one stored meanwhile may be in it.
    FleetAnswer(const FleetIndex &fleet, QByteArray opening, bool csv, Filter filter);
    // The batteries the rank takes, lowest rank first and the same rank in serial order. They are chosen and
    // sorted in parts too (sorted runs merged a pair at a time) before the first row is written.
    // Descending: highest rank first, the same rank in reverse serial order.
    FleetAnswer(const FleetIndex &fleet, QByteArray opening, bool csv, Rank rank, bool descending = false);

    QByteArray next(qint64 bytes) override;
    bool atEnd() const override { return m_done; }

private:
    // Batteries looked at in one part at most, so that a filter taking few is no long turn either.
    static constexpr std::size_t LookedAtPerPart = 16384;

    void append(QByteArray &out, const FleetIndex::Entry &entry);
    // One part of choosing and sorting; true once the keys are ready.
    bool rankSome();

    const FleetIndex &m_fleet;
    const ApiTable m_table;
    QByteArray m_opening;
    const bool m_csv;
    Filter m_filter;
    FleetIndex::Cursor m_cursor; // of the serial-order walk
    std::vector<quint64> m_keys;
    std::size_t m_position = 0;
    Rank m_rank;
    bool m_descending = false;
    bool m_scanDone = false;
    std::vector<std::pair<SortKey, quint64>> m_ranked;
    std::vector<std::size_t> m_runEnds; // sorted runs of m_ranked
    const bool m_listed;
    bool m_first = true;
    bool m_done = false;
};

} // namespace NVL::Engineering::VK
