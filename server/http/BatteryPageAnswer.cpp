#include "BatteryPageAnswer.h"

#include "DashboardPages.h"
#include "FleetIndex.h"

#include <QtEndian>

#include <algorithm>
#include <limits>

namespace NVL::Engineering::VK {

BatteryPageAnswer::BatteryPageAnswer(const FleetIndex &fleet, const DashboardPages &pages, const BatteryQuery &query)
    : m_fleet(fleet)
    , m_pages(pages)
    , m_query(query)
    , m_rank(query.rank())
    , m_keep(std::size_t(std::max(1, query.page)) * BatteryQuery::PageSize)
{
}

bool BatteryPageAnswer::before(const Row &a, const Row &b) const
{
    // As the whole list sorts: ties in serial order, both reversed when descending.
    int order = a.rank < b.rank ? -1 : (b.rank < a.rank ? 1 : 0);
    if (order == 0)
        order = a.key < b.key ? -1 : (b.key < a.key ? 1 : 0);
    return m_query.descending ? order > 0 : order < 0;
}

QByteArray BatteryPageAnswer::next(qint64)
{
    if (m_done)
        return {};
    // The heap's top is the row to give up first: the last in the page's order.
    const auto worseOnTop = [this](const Row &a, const Row &b) { return before(a, b); };
    std::size_t lookedAt = 0;
    for (const FleetIndex::Entry *entry = nullptr; lookedAt < LookedAtPerPart && (entry = m_fleet.next(m_cursor));
         ++lookedAt) {
        const std::optional<SortKey> rank = m_rank(*entry);
        if (!rank)
            continue;
        ++m_matched;
        m_best.push_back({*rank, m_cursor.key});
        std::push_heap(m_best.begin(), m_best.end(), worseOnTop);
        if (m_best.size() > m_keep) {
            std::pop_heap(m_best.begin(), m_best.end(), worseOnTop);
            m_best.pop_back();
        }
    }
    if (!m_cursor.done)
        return {};

    std::sort_heap(m_best.begin(), m_best.end(), worseOnTop);
    BatteryQuery::Selection selection;
    selection.matched = m_matched;
    const std::size_t pages = std::max<std::size_t>(1, (m_matched + BatteryQuery::PageSize - 1) / BatteryQuery::PageSize);
    selection.page = int(std::min<std::size_t>(std::size_t(std::max(1, m_query.page)), pages));
    for (std::size_t i = std::size_t(selection.page - 1) * BatteryQuery::PageSize; i < m_best.size(); ++i) {
        char serial[8];
        qToBigEndian(m_best[i].key, serial);
        if (const FleetIndex::Entry *entry = m_fleet.find(QByteArray::fromRawData(serial, 8)))
            selection.rows.push_back(entry);
    }
    m_done = true;
    m_best = {};
    return m_pages.batteries(m_query, selection);
}

} // namespace NVL::Engineering::VK
