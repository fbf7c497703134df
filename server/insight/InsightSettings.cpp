#include "InsightSettings.h"

#include "Log.h"

namespace NVL::Engineering::VK {

InsightSettings InsightSettings::from(const InsightSection &section)
{
    InsightSettings result;
    result.silentDays = section.silentDays;
    for (const auto &range : section.siteRanges) {
        QString problem;
        if (!result.sites.add(range.first, range.second, &problem))
            Log::warning(QStringLiteral("vk.cfg: [sites] %1: %2; the range is left out").arg(range.first, problem));
    }
    return result;
}

} // namespace NVL::Engineering::VK
