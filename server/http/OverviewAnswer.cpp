#include "OverviewAnswer.h"

#include "DashboardPages.h"
#include "LocalDays.h"

namespace NVL::Engineering::VK {

OverviewAnswer::OverviewAnswer(const FleetIndex &fleet, const DashboardPages &pages)
    : m_fleet(fleet)
    , m_pages(pages)
    , m_tally(LocalDays::today())
{
}

QByteArray OverviewAnswer::next(qint64)
{
    if (m_done)
        return {};
    std::size_t lookedAt = 0;
    for (const FleetIndex::Entry *entry = nullptr; lookedAt < LookedAtPerPart && (entry = m_fleet.next(m_cursor));
         ++lookedAt)
        m_tally.add(*entry);
    if (!m_cursor.done)
        return {};
    m_tally.finish();
    m_done = true;
    return m_pages.overview(m_tally);
}

} // namespace NVL::Engineering::VK
