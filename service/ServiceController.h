#pragma once

#include "ServiceBase.h"

#include <QString>
#include <QStringList>

namespace NVL::Engineering::VK {

// Remote control of one installed service through the platform's service manager. Every operation
// answers whether it succeeded; the platform keeps no handles between calls.
class ServiceController
{
public:
    explicit ServiceController(const QString &name);

    QString serviceName() const;

    // Registration details used by install.
    void setServiceDescription(const QString &description);
    void setStartupType(ServiceBase::StartupType type);

    bool install(const QString &account = QString(), const QString &password = QString());
    bool uninstall();
    bool isInstalled() const;
    // Empty unless another installer (a package) put the service there; then who, and how to remove it.
    QString foreignInstallation() const;
    bool isRunning() const;
    bool startService(const QStringList &arguments = QStringList());
    bool stopService();
    bool pauseService();
    bool resumeService();
    // User command 0 to 127, sent only to a running service.
    bool sendCommand(int code);

private:
    QString m_name;
    QString m_description;
    ServiceBase::StartupType m_startupType = ServiceBase::ManualStartup;
};

} // namespace NVL::Engineering::VK
