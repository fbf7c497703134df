#pragma once

#include "FleetIndex.h"

#include <deque>

namespace NVL::Engineering::VK {

// The fleet model as it stood at one moment, for analysis away from the event loop: the index's entries
// copied (128 bytes each, nothing on the heap but the places of a battery of many) with the time they
// describe.
struct FleetSnapshot
{
    std::deque<FleetIndex::Entry> batteries;
    qint64 now = 0;   // seconds since the epoch
    qint64 today = 0; // local day number

    static FleetSnapshot of(const FleetIndex &fleet);
    // One entry more, without the text filter's lines, which the analysis does not read.
    void take(const FleetIndex::Entry &entry);
    // The time it describes: now.
    void stamp();
};

} // namespace NVL::Engineering::VK
