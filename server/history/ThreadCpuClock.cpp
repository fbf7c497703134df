#include "ThreadCpuClock.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <ctime>
#endif

namespace NVL::Engineering::VK {

qint64 ThreadCpuClock::now()
{
#ifdef Q_OS_WIN
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        return 0;
    const auto ticks = [](const FILETIME &t) { return qint64(t.dwHighDateTime) << 32 | qint64(t.dwLowDateTime); };
    return (ticks(kernel) + ticks(user)) * 100; // in units of 100 ns
#else
    timespec time{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time) != 0)
        return 0;
    return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
#endif
}

} // namespace NVL::Engineering::VK
