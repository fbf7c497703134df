#include "FleetAnswer.h"

#include "ApiViews.h"

#include <QtEndian>

#include <limits>

namespace NVL::Engineering::VK {

FleetAnswer::FleetAnswer(const FleetIndex &fleet, QByteArray opening, bool csv, Filter filter)
    : m_fleet(fleet)
    , m_table(ApiViews::batteryColumns())
    , m_opening(std::move(opening))
    , m_csv(csv)
    , m_filter(std::move(filter))
    , m_listed(false)
{
}

FleetAnswer::FleetAnswer(const FleetIndex &fleet, QByteArray opening, bool csv, Rank rank, bool descending)
    : m_fleet(fleet)
    , m_table(ApiViews::batteryColumns())
    , m_opening(std::move(opening))
    , m_csv(csv)
    , m_rank(std::move(rank))
    , m_descending(descending)
    , m_listed(true)
{
}

bool FleetAnswer::rankSome()
{
    if (!m_scanDone) {
        // Taken up again after the last key seen, as the walk in serial order is: batteries that come or go
        // meanwhile are in the answer or not, never twice.
        const std::size_t runStart = m_ranked.size();
        std::size_t lookedAt = 0;
        for (const FleetIndex::Entry *entry = nullptr; lookedAt < LookedAtPerPart && (entry = m_fleet.next(m_cursor));
             ++lookedAt) {
            if (const std::optional<SortKey> rank = m_rank(*entry))
                m_ranked.emplace_back(*rank, m_cursor.key);
        }
        m_scanDone = m_cursor.done;
        std::sort(m_ranked.begin() + std::ptrdiff_t(runStart), m_ranked.end());
        if (m_ranked.size() > runStart)
            m_runEnds.push_back(m_ranked.size());
        return false;
    }
    if (m_runEnds.size() > 1) {
        // The last two runs become one: a part merges at most the whole selection once.
        const std::size_t first = m_runEnds.size() == 2 ? 0 : m_runEnds[m_runEnds.size() - 3];
        const std::size_t middle = m_runEnds[m_runEnds.size() - 2];
        std::inplace_merge(m_ranked.begin() + std::ptrdiff_t(first), m_ranked.begin() + std::ptrdiff_t(middle),
                           m_ranked.begin() + std::ptrdiff_t(m_runEnds.back()));
        m_runEnds.erase(m_runEnds.end() - 2);
        return false;
    }
    m_keys.reserve(m_ranked.size());
    for (const auto &ranked : m_ranked)
        m_keys.push_back(ranked.second);
    if (m_descending)
        std::reverse(m_keys.begin(), m_keys.end());
    m_ranked = {};
    m_runEnds.clear();
    m_rank = nullptr;
    return true;
}

void FleetAnswer::append(QByteArray &out, const FleetIndex::Entry &entry)
{
    const ApiViews::BatteryCells cells = ApiViews::batteryCells(entry.record, entry.forecast.brief(), m_fleet.typeNames());
    m_table.appendCells(out, cells.data(), qsizetype(cells.size()), m_first, m_csv);
    m_first = false;
}

QByteArray FleetAnswer::next(qint64 bytes)
{
    QByteArray out = std::exchange(m_opening, {});
    if (m_done)
        return out;
    out.reserve(qsizetype(bytes) + 1024);
    std::size_t lookedAt = 0;
    bool over = false;
    if (m_rank && !rankSome())
        return out;
    if (m_listed) {
        for (; m_position < m_keys.size() && out.size() < bytes && lookedAt < LookedAtPerPart; ++lookedAt) {
            char serial[8];
            qToBigEndian(m_keys[m_position++], serial);
            if (const FleetIndex::Entry *entry = m_fleet.find(QByteArray::fromRawData(serial, 8)))
                append(out, *entry);
        }
        over = m_position == m_keys.size();
    } else {
        // Found again by serial at every part: batteries may have come and gone in between.
        for (const FleetIndex::Entry *entry = nullptr;
             out.size() < bytes && lookedAt < LookedAtPerPart && (entry = m_fleet.next(m_cursor)); ++lookedAt) {
            if (!m_filter || m_filter(*entry))
                append(out, *entry);
        }
        over = m_cursor.done;
    }
    if (over) {
        m_done = true;
        if (!m_csv)
            out += ApiTable::jsonListClosing();
    }
    return out;
}

} // namespace NVL::Engineering::VK
