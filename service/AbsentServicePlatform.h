#pragma once

#include "ServicePlatform.h"

namespace NVL::Engineering::VK {

// The platform where no service manager can be reached: every request is refused, as with
// missing system functions.
class AbsentServicePlatform final : public ServicePlatform
{
public:
    bool install(const QString &name, const QString &description, ServiceBase::StartupType startupType,
                 const QString &account, const QString &password) override;
    bool uninstall(const QString &name) override;
    bool isInstalled(const QString &name) override;
    bool isRunning(const QString &name) override;
    bool startService(const QString &name, const QStringList &arguments) override;
    bool stopService(const QString &name) override;
    bool pauseService(const QString &name) override;
    bool resumeService(const QString &name) override;
    bool sendCommand(const QString &name, int code) override;
    bool runAsService(ServiceBase &service) override;
};

} // namespace NVL::Engineering::VK
