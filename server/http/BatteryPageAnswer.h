#pragma once

#include "ReplyStream.h"
#include "BatteryQuery.h"
#include "FleetIndex.h"

#include <functional>
#include <optional>
#include <vector>

namespace NVL::Engineering::VK {

class DashboardPages;

// The dashboard's list page, its rows chosen from the fleet in parts: each part looks at a slice of the
// fleet and keeps the best rows up to the asked page, so a fleet of a million is never held in one turn.
// The page comes whole in the last part. Must outlive neither the index nor the pages.
class BatteryPageAnswer : public ReplyStream
{
public:
    BatteryPageAnswer(const FleetIndex &fleet, const DashboardPages &pages, const BatteryQuery &query);

    QByteArray next(qint64 bytes) override;
    bool atEnd() const override { return m_done; }

private:
    static constexpr std::size_t LookedAtPerPart = 16384;

    const FleetIndex &m_fleet;
    const DashboardPages &m_pages;
    const BatteryQuery m_query;
    // A kept row: what it sorts by, then the serial's key for ties.
    struct Row
    {
        SortKey rank;
        quint64 key = 0;
    };
    bool before(const Row &a, const Row &b) const;

    const BatteryQuery::Rank m_rank;
    std::size_t m_keep; // rows up to the end of the asked page
    std::vector<Row> m_best; // a heap: the worst kept row on top
    std::size_t m_matched = 0;
    FleetIndex::Cursor m_cursor;
    bool m_done = false;
};

} // namespace NVL::Engineering::VK
