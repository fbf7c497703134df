#include "OverviewTally.h"

#include <algorithm>
#include <tuple>

namespace NVL::Engineering::VK {

namespace {

bool earlier(const OverviewTally::Ranked &a, const OverviewTally::Ranked &b)
{
    return std::tie(a.rank, a.key) < std::tie(b.rank, b.key);
}

bool later(const OverviewTally::Ranked &a, const OverviewTally::Ranked &b)
{
    return a.rank != b.rank ? a.rank > b.rank : a.key < b.key;
}

template<typename Order>
void keep(std::vector<OverviewTally::Ranked> &heap, OverviewTally::Ranked ranked, std::size_t size, Order order)
{
    if (heap.size() == size && !order(ranked, heap.front()))
        return;
    heap.push_back(ranked);
    std::push_heap(heap.begin(), heap.end(), order);
    if (heap.size() > size) {
        std::pop_heap(heap.begin(), heap.end(), order);
        heap.pop_back();
    }
}

} // namespace

void OverviewTally::add(const FleetIndex::Entry &e)
{
    const quint64 key = FleetIndex::orderKey(e.record.serial);
    keep(m_newest, {e.record.reportTime, key}, NewestListed, later);
    const ReplacementOutlook o = e.outlook();
    m_poorNow += o.kind == ReplacementOutlook::Kind::PoorNow ? 1 : 0;
    m_atBoundary += o.kind == ReplacementOutlook::Kind::AtBoundary ? 1 : 0;
    m_doubted += o.kind == ReplacementOutlook::Kind::PoorNow && o.doubtedPercent ? 1 : 0;
    for (std::size_t s = 0; s < DueSpans.size(); ++s)
        m_dueWithin[s] += o.dueBy(m_today + DueSpans[s]) ? 1 : 0;
    // The next to reach Poor are those not there yet: a battery Poor now has no day ahead.
    if (o.kind == ReplacementOutlook::Kind::Date && *o.day <= m_today + DueSpans.back()) {
        ++m_dueCount;
        keep(m_due, {*o.day, key}, DueListed, earlier);
    }
}

void OverviewTally::finish()
{
    std::sort_heap(m_due.begin(), m_due.end(), earlier);
    std::sort_heap(m_newest.begin(), m_newest.end(), later);
}

} // namespace NVL::Engineering::VK
