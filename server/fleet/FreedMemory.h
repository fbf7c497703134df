#pragma once

namespace NVL::Engineering::VK {

// What a pass over the whole fleet freed (a snapshot, a catch-up's batches) stays with the process unless
// given back: on a large fleet that is more than the fleet model holds. Where the C library can give free
// pages inside its heaps back to the system, this does it; elsewhere it does nothing.
class FreedMemory
{
public:
    FreedMemory() = delete;
    static void giveBack();
};

} // namespace NVL::Engineering::VK
