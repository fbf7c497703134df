#pragma once

#include "FleetSnapshot.h"
#include "InsightSettings.h"
#include "PurchasePlan.h"
#include "SilentBattery.h"
#include "WearReport.h"

namespace NVL::Engineering::VK {

// Everything insight says of the fleet at one moment.
struct InsightResult
{
    WearReport wear;
    QList<SilentBattery> silent;
    PurchasePlan plan;
    int silentDays = 14;
    qint64 asOf = 0;      // the snapshot's time, seconds since the epoch
    qint64 computeMs = 0; // of the analysis, off the event loop
    int batteries = 0;

    static InsightResult of(const FleetSnapshot &fleet, const InsightSettings &settings);
};

} // namespace NVL::Engineering::VK
