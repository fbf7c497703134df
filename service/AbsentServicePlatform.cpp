#include "AbsentServicePlatform.h"

#include <cerrno>

namespace NVL::Engineering::VK {

namespace {

bool refuse()
{
    errno = ENOSYS;
    return false;
}

} // namespace

bool AbsentServicePlatform::install(const QString &, const QString &, ServiceBase::StartupType, const QString &,
                                    const QString &)
{
    return refuse();
}

bool AbsentServicePlatform::uninstall(const QString &) { return refuse(); }
bool AbsentServicePlatform::isInstalled(const QString &) { return refuse(); }
bool AbsentServicePlatform::isRunning(const QString &) { return refuse(); }
bool AbsentServicePlatform::startService(const QString &, const QStringList &) { return refuse(); }
bool AbsentServicePlatform::stopService(const QString &) { return refuse(); }
bool AbsentServicePlatform::pauseService(const QString &) { return refuse(); }
bool AbsentServicePlatform::resumeService(const QString &) { return refuse(); }
bool AbsentServicePlatform::sendCommand(const QString &, int) { return refuse(); }
bool AbsentServicePlatform::runAsService(ServiceBase &) { return refuse(); }

} // namespace NVL::Engineering::VK
