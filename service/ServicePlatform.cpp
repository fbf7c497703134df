#include "ServicePlatform.h"

#include "AbsentServicePlatform.h"
#include "ServiceManagerApi.h"
#include "SystemEventLog.h"
#include "WindowsServicePlatform.h"
#ifdef VK_HAVE_SYSTEMD
#include "SystemdServicePlatform.h"
#endif

#include <cerrno>
#include <memory>

namespace NVL::Engineering::VK {

namespace {

ServicePlatform *installedPlatform = nullptr;

std::unique_ptr<ServicePlatform> resolvePlatform()
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

} // namespace

QString ServicePlatform::lastErrorText() const
{
    const int error = errno;
    return error == 0 ? QString() : qt_error_string(error);
}

ServicePlatform &ServicePlatform::current()
{
    if (installedPlatform)
        return *installedPlatform;
    static const std::unique_ptr<ServicePlatform> resolved = resolvePlatform();
    return *resolved;
}

void ServicePlatform::setCurrent(ServicePlatform *platform)
{
    installedPlatform = platform;
}

} // namespace NVL::Engineering::VK
