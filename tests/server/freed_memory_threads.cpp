// Eight threads give freed memory back at once, the process's first such calls: as when the history's
// and the insight's threads finish their start-up work together.
#include "FreedMemory.h"

#include <atomic>
#include <thread>
#include <vector>

int main()
{
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&go] {
            while (!go.load()) {
            }
            NVL::Engineering::VK::FreedMemory::giveBack();
        });
    go.store(true);
    for (std::thread &thread : threads)
        thread.join();
}
