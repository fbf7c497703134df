#pragma once

#include <QtGlobal>

namespace NVL::Engineering::VK {

// How many reports wait for one commit. One sync for many is what makes ingest fast, but the radio port
// waits while a commit runs, and a list waits for the reports before it: so the group is sized from what
// the last commits cost, to take about a budget of time, whatever the disk, the fleet's size or the build.
class CommitPacing
{
public:
    static constexpr qsizetype MinReports = 64;
    static constexpr qsizetype MaxReports = 4096;
    static constexpr qint64 BudgetNs = 8'000'000;
    // How long the first report of a group waits for others.
    static constexpr int WaitMs = 2;

    qsizetype limit() const { return m_limit; }
    void committed(qsizetype reports, qint64 nanoseconds);

private:
    qsizetype m_limit = MinReports;
};

} // namespace NVL::Engineering::VK
