#include "InsightResult.h"

#include "WearAnalysis.h"

#include <QElapsedTimer>

namespace NVL::Engineering::VK {

InsightResult InsightResult::of(const FleetSnapshot &fleet, const InsightSettings &settings)
{
    QElapsedTimer clock;
    clock.start();
    InsightResult result;
    result.wear = WearAnalysis::of(fleet, settings.sites);
    result.silent = SilentBattery::find(fleet.batteries, settings.sites, fleet.now, settings.silentDays);
    result.plan = PurchasePlan::of(fleet);
    result.silentDays = settings.silentDays;
    result.asOf = fleet.now;
    result.batteries = int(fleet.batteries.size());
    result.computeMs = clock.elapsed();
    return result;
}

} // namespace NVL::Engineering::VK
