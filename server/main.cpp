#include "Voltkeep.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

int main(int argc, char **argv)
{
#if defined(__GLIBC__)
    // Whole-fleet answers and start-up work hold large buffers for a moment: mapped apart and unmapped
    // again, and the heap's free top given back, they leave no memory behind that the server keeps.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024);
#endif
    NVL::Engineering::VK::Voltkeep server(argc, argv);
    return server.run();
}
