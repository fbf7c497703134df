#include "FreedMemory.h"

#include <cstdlib> // defines __GLIBC__ where it applies

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace NVL::Engineering::VK {

void FreedMemory::giveBack()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

} // namespace NVL::Engineering::VK
