#include "SystemEventLog.h"

#include "EventSink.h"
#include "ServiceManagerApi.h"
#include "WindowsEventSink.h"
#ifdef VK_HAVE_SYSLOG
#include "SyslogEventSink.h"
#endif

namespace NVL::Engineering::VK {

namespace {

// nullptr where the system has neither.
EventSink *systemTarget()
{
    if (const ServiceManagerApi *api = ServiceManagerApi::instance()) {
        static WindowsEventSink eventLog(*api);
        return &eventLog;
    }
#ifdef VK_HAVE_SYSLOG
    static SyslogEventSink syslogSink;
    return &syslogSink;
#else
    return nullptr;
#endif
}

} // namespace

void SystemEventLog::install()
{
    EventSink::setSystemLog(systemTarget());
}

} // namespace NVL::Engineering::VK
