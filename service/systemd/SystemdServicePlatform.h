#pragma once

#include "ServicePlatform.h"

namespace NVL::Engineering::VK {

// The service binding for systemd: installs, removes and controls the unit through systemd's D-Bus
// API, and runs the program as a notify service when systemd started it.
class SystemdServicePlatform final : public ServicePlatform
{
public:
    bool install(const QString &name, const QString &description, ServiceBase::StartupType startupType,
                 const QString &account, const QString &password) override;
    bool uninstall(const QString &name) override;
    bool isInstalled(const QString &name) override;
    QString foreignInstallation(const QString &name) override;
    bool isRunning(const QString &name) override;
    bool startService(const QString &name, const QStringList &arguments) override;
    bool stopService(const QString &name) override;
    bool pauseService(const QString &name) override;
    bool resumeService(const QString &name) override;
    bool sendCommand(const QString &name, int code) override;
    bool runAsService(ServiceBase &service) override;

    QString lastErrorText() const override;

    // Started by systemd as a notify service, or a systemd manager answers on the system bus.
    static bool isReachable();
    static bool startedBySystemd();

private:
    bool fail(const QString &error);
    // The stop request itself was refused: the system-error warning "stopping", as on Windows.
    bool refuseStop(const QString &error);
    // Where administrators' units live: the manager's own folder for them.
    bool unitFolder(QString &folder);

    QString m_error;
};

} // namespace NVL::Engineering::VK
