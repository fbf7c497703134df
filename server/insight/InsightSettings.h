#pragma once

#include "InsightSection.h"
#include "SiteMap.h"

namespace NVL::Engineering::VK {

// What fleet insight is told by vk.cfg: the silence of a lost battery, and the sites. A range that is no
// address range is named in a Warning and left out.
struct InsightSettings
{
    int silentDays = 14; // a battery not heard from for this long is silent
    SiteMap sites;

    static InsightSettings from(const InsightSection &section);
};

} // namespace NVL::Engineering::VK
