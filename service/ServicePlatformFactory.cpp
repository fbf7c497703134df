#include "ServicePlatform.h"

// The one place that knows every platform binding; the interface itself knows none of them.
#include "AbsentServicePlatform.h"
#include "ServiceManagerApi.h"
#include "SystemEventLog.h"
#include "WindowsServicePlatform.h"
#ifdef VK_HAVE_SYSTEMD
#include "SystemdServicePlatform.h"
#endif

namespace NVL::Engineering::VK {

std::unique_ptr<ServicePlatform> ServicePlatform::makeSystemPlatform()
{
    // Whatever talks to the system's service manager logs to the system's log.
    SystemEventLog::install();
    // The service manager's functions are looked up by name so the program also starts where they
    // do not exist; without "OpenSCManagerW" there is no service manager to talk to.
    if (const ServiceManagerApi *api = ServiceManagerApi::instance())
        return std::make_unique<WindowsServicePlatform>(*api);
#ifdef VK_HAVE_SYSTEMD
    // Otherwise systemd, when it started this process or answers on the system bus.
    if (SystemdServicePlatform::isReachable())
        return std::make_unique<SystemdServicePlatform>();
#endif
    return std::make_unique<AbsentServicePlatform>();
}

} // namespace NVL::Engineering::VK
