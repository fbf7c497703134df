#include "ServicePlatform.h"

#include <cerrno>
#include <memory>

namespace NVL::Engineering::VK {

namespace {

ServicePlatform *installedPlatform = nullptr;

} // namespace

QString ServicePlatform::lastErrorText() const
{
    const int error = errno;
    return error == 0 ? QString() : qt_error_string(error);
}

QString ServicePlatform::foreignInstallation(const QString &)
{
    return QString();
}

ServicePlatform &ServicePlatform::current()
{
    if (installedPlatform)
        return *installedPlatform;
    static const std::unique_ptr<ServicePlatform> resolved = makeSystemPlatform();
    return *resolved;
}

void ServicePlatform::setCurrent(ServicePlatform *platform)
{
    installedPlatform = platform;
}

} // namespace NVL::Engineering::VK
