#include "ServiceController.h"

#include "ServicePlatform.h"

namespace NVL::Engineering::VK {

ServiceController::ServiceController(const QString &name)
    : m_name(name)
{
}

QString ServiceController::serviceName() const { return m_name; }
void ServiceController::setServiceDescription(const QString &description) { m_description = description; }
void ServiceController::setStartupType(ServiceBase::StartupType type) { m_startupType = type; }

bool ServiceController::install(const QString &account, const QString &password)
{
    return ServicePlatform::current().install(m_name, m_description, m_startupType, account, password);
}

bool ServiceController::uninstall() { return ServicePlatform::current().uninstall(m_name); }
bool ServiceController::isInstalled() const { return ServicePlatform::current().isInstalled(m_name); }
QString ServiceController::foreignInstallation() const { return ServicePlatform::current().foreignInstallation(m_name); }
bool ServiceController::isRunning() const { return ServicePlatform::current().isRunning(m_name); }

bool ServiceController::startService(const QStringList &arguments)
{
    return ServicePlatform::current().startService(m_name, arguments);
}

bool ServiceController::stopService() { return ServicePlatform::current().stopService(m_name); }
bool ServiceController::pauseService() { return ServicePlatform::current().pauseService(m_name); }
bool ServiceController::resumeService() { return ServicePlatform::current().resumeService(m_name); }

bool ServiceController::sendCommand(int code)
{
    // User-defined controls are 128 + code and end at 255.
    if (code < 0 || code > 127)
        return false;
    ServicePlatform &platform = ServicePlatform::current();
    if (!platform.isRunning(m_name))
        return false;
    return platform.sendCommand(m_name, code);
}

} // namespace NVL::Engineering::VK
