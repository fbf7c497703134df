#include "YieldingThread.h"

#include <QtGlobal>

#if defined(Q_OS_WIN)
#include <windows.h>
#elif defined(Q_OS_LINUX)
#include <cerrno>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace NVL::Engineering::VK::YieldingThread {

void lowerCurrent()
{
#if defined(Q_OS_WIN)
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
#elif defined(Q_OS_LINUX)
    // On Linux a nice value belongs to a thread, named by its own id. Ten levels: a tenth of the processor
    // against a busy thread of the process's priority, so that a history left behind still moves on a
    // machine that stays busy. Not SCHED_IDLE, though it gave the radios a little more: the thread takes
    // locks the event loop takes too, and one that runs only on processors nothing else wants could keep
    // such a lock for as long as other programs keep them busy.
    constexpr int NiceSteps = 10;
    constexpr int LeastNice = 19;
    const auto self = id_t(syscall(SYS_gettid));
    errno = 0;
    const int now = getpriority(PRIO_PROCESS, self);
    if (errno == 0)
        setpriority(PRIO_PROCESS, self, qMin(now + NiceSteps, LeastNice));
#endif // elsewhere a nice value is the whole process's: left alone
}

} // namespace NVL::Engineering::VK::YieldingThread
