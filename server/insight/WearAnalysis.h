#pragma once

#include "FleetSnapshot.h"
#include "SiteMap.h"
#include "WearReport.h"

namespace NVL::Engineering::VK {

// Wear by charging place. Each battery belongs to the site, and the address, of most of its newest
// quarter's reports. Its fade is compared with the other batteries of its type code in the fleet whose fit
// has the same shape: its share of them that fade slower (a mid-rank) is uniform on [0, 1] where the place
// is like the rest, so the sum of their normal scores over a place's batteries is a rank test stratified
// by type and shape, and the median of fade over type median measures how much faster.
class WearAnalysis
{
public:
    WearAnalysis() = delete;

    // A fade rate needs a fit of this many daily points; a steady one a straight line over this many.
    static constexpr int SteadyDays = 60;
    // A type with fewer rates than this has no median worth comparing with.
    static constexpr int MinimumTypeBatteries = 10;

    static WearReport of(const FleetSnapshot &fleet, const SiteMap &sites);
    // Points lost a year by the battery's fit; NAN where it has none.
    static double fadeOf(const FleetIndex::Entry &entry);
};

} // namespace NVL::Engineering::VK
