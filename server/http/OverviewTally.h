#pragma once

#include "FleetIndex.h"

#include <array>
#include <vector>

namespace NVL::Engineering::VK {

// The overview's figures, gathered one battery at a time so that a large fleet can be looked at in
// slices, by the one rule of ReplacementOutlook: the counts of those Poor now, at the boundary and due,
// and the rows of those next to reach Poor and the newest, each kept only as far as the page shows them.
// Rows are kept by serial, to be found again when the page is made.
class OverviewTally
{
public:
    static constexpr std::array<int, 3> DueSpans{30, 90, 180};
    static constexpr std::size_t DueListed = 20;
    static constexpr std::size_t NewestListed = 10;

    // By day or time; the same in serial order.
    struct Ranked
    {
        qint64 rank;
        quint64 key;
    };

    explicit OverviewTally(qint64 today) : m_today(today) {}

    void add(const FleetIndex::Entry &entry);
    // Puts the kept rows in the page's order; nothing is added after.
    void finish();

    qint64 today() const { return m_today; }
    // Poor by their newest report; of them, those whose newest report is far from their history.
    qint64 poorNow() const { return m_poorNow; }
    qint64 doubted() const { return m_doubted; }
    // Not Poor by their newest report, at the boundary by their fit.
    qint64 atBoundary() const { return m_atBoundary; }
    // Forecast to cross within the longest span, not there yet.
    qint64 dueCount() const { return m_dueCount; }
    // Due within each span: Poor now, at the boundary, or forecast to cross by then.
    const std::array<qint64, DueSpans.size()> &dueWithin() const { return m_dueWithin; }
    // Soonest first; rank is the predicted day.
    const std::vector<Ranked> &due() const { return m_due; }
    // Newest first; rank is the report time.
    const std::vector<Ranked> &newest() const { return m_newest; }

private:
    qint64 m_today;
    qint64 m_poorNow = 0;
    qint64 m_doubted = 0;
    qint64 m_atBoundary = 0;
    qint64 m_dueCount = 0;
    std::array<qint64, DueSpans.size()> m_dueWithin{};
    std::vector<Ranked> m_due;    // a heap until finished, the latest on top
    std::vector<Ranked> m_newest; // a heap until finished, the oldest on top
};

} // namespace NVL::Engineering::VK
