#include "FreedMemory.h"

#include <cstdlib> // defines __GLIBC__ where it applies
#include <mutex>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace NVL::Engineering::VK {

void FreedMemory::giveBack()
{
#if defined(__GLIBC__)
    // One at a time: where malloc is not the C library's own (sanitizers, a preloaded allocator), the
    // library's heap is first set up by this call, and two threads setting it up at once crash on it.
    static std::mutex oneAtATime;
    const std::lock_guard lock(oneAtATime);
    malloc_trim(0);
#endif
}

} // namespace NVL::Engineering::VK
