#include "InsightOutlook.h"

#include "InsightResult.h"

namespace NVL::Engineering::VK {

ComposeContext::Outlook insightOutlook(const InsightResult &result)
{
    ComposeContext::Outlook outlook;
    const auto effect = [](const WearGroup &g) {
        return QStringLiteral("(%1x, %2-%3)").arg(QString::number(g.effect, 'f', 2), QString::number(g.effectLow, 'f', 2),
                                                 QString::number(g.effectHigh, 'f', 2));
    };
    for (const SiteWear &site : result.wear.sites) {
        if (site.site.flagged)
            outlook.flaggedSites.append(site.site.name + QLatin1Char(' ') + effect(site.site));
        for (const WearGroup &g : site.addresses) {
            // An address in no site's range is a site of its own, told once above.
            if (g.flagged && g.name != site.site.name)
                outlook.flaggedAddresses.append(QStringLiteral("%1 at %2 %3").arg(g.name, site.site.name, effect(g)));
        }
    }
    outlook.silentBatteries = int(result.silent.size());
    outlook.silentDays = result.silentDays;
    for (int m = 0; m < 3; ++m) {
        const PurchasePlan::Cell &cell = result.plan.total.months[size_t(m)];
        outlook.plan.append({result.plan.monthStarts[size_t(m)], cell.expected, cell.low, cell.high});
    }
    return outlook;
}

} // namespace NVL::Engineering::VK
