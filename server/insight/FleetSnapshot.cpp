#include "FleetSnapshot.h"

#include "LocalDays.h"

#include <QDateTime>

namespace NVL::Engineering::VK {

FleetSnapshot FleetSnapshot::of(const FleetIndex &fleet)
{
    FleetSnapshot snapshot;
    for (const FleetIndex::Entry &entry : fleet.entries())
        snapshot.take(entry);
    snapshot.stamp();
    return snapshot;
}

void FleetSnapshot::take(const FleetIndex::Entry &entry)
{
    batteries.push_back(entry);
}

void FleetSnapshot::stamp()
{
    now = QDateTime::currentSecsSinceEpoch();
    today = LocalDays::today();
}

} // namespace NVL::Engineering::VK
