#pragma once

#include "ReplyStream.h"
#include "FleetIndex.h"
#include "OverviewTally.h"

namespace NVL::Engineering::VK {

class DashboardPages;

// The dashboard's overview, its figures gathered from the fleet in parts so that a fleet of a million is
// never looked at in one turn; the page comes whole in the last part. Must outlive neither the index nor
// the pages.
class OverviewAnswer : public ReplyStream
{
public:
    OverviewAnswer(const FleetIndex &fleet, const DashboardPages &pages);

    QByteArray next(qint64 bytes) override;
    bool atEnd() const override { return m_done; }

private:
    static constexpr std::size_t LookedAtPerPart = 16384;

    const FleetIndex &m_fleet;
    const DashboardPages &m_pages;
    OverviewTally m_tally;
    FleetIndex::Cursor m_cursor;
    bool m_done = false;
};

} // namespace NVL::Engineering::VK
