#pragma once

#include "SiteMap.h"

class QSettings;

namespace NVL::Engineering::VK {

// Sections [sites] (name=CIDR, several ranges separated by commas) and [insight] of vk.cfg. A value that
// is no valid setting is named in a Warning and left out or replaced by its default.
struct InsightSettings
{
    int silentDays = 14; // a battery not heard from for this long is silent
    SiteMap sites;

    static InsightSettings read(QSettings &settings);
};

} // namespace NVL::Engineering::VK
