#pragma once

#include "ComposeContext.h"

namespace NVL::Engineering::VK {

struct InsightResult;

// What the periodic report's insight section says of an analysis: flagged sites, chargers and gateways
// with their effect and range, the silent count and the next three months of the plan.
ComposeContext::Outlook insightOutlook(const InsightResult &result);

} // namespace NVL::Engineering::VK
