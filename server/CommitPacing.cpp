#include "CommitPacing.h"

#include <algorithm>

namespace NVL::Engineering::VK {

void CommitPacing::committed(qsizetype reports, qint64 nanoseconds)
{
    // A group smaller than the limit says little of a larger one's cost: a sync's fixed part dominates it.
    if (reports <= 0 || (reports < m_limit && nanoseconds <= BudgetNs))
        return;
    const double fitting = double(reports) * double(BudgetNs) / double(std::max<qint64>(nanoseconds, 1));
    // At most doubling per commit: one fast commit after a slow disk does not promise the next.
    m_limit = qsizetype(std::clamp(fitting, double(MinReports), std::min(double(MaxReports), 2.0 * double(m_limit))));
}

} // namespace NVL::Engineering::VK
