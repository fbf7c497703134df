#pragma once

#include "BatteryRecord.h"

#include <optional>

namespace NVL::Engineering::VK {

// The rule that raises a health alert: the battery's class is worse than that of the valid record it
// replaced. A battery seen for the first time, or one whose stored row was no valid record, raises none.
inline bool healthFell(const std::optional<BatteryRecord> &replaced, const BatteryRecord &report)
{
    return replaced && healthClass(report) < healthClass(*replaced);
}

} // namespace NVL::Engineering::VK
