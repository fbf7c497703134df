#include "FleetSnapshot.h"

#include "LocalDays.h"

#include <QDateTime>

namespace NVL::Engineering::VK {

FleetSnapshot FleetSnapshot::of(const FleetIndex &fleet)
{
    FleetSnapshot snapshot;
    snapshot.batteries = fleet.entries();
    // The text filter's lines are of no use here: dropped, so that the snapshot holds no share of them.
    for (FleetIndex::Entry &entry : snapshot.batteries)
        entry.search = QByteArray();
    snapshot.now = QDateTime::currentSecsSinceEpoch();
    snapshot.today = LocalDays::today();
    return snapshot;
}

} // namespace NVL::Engineering::VK
