#pragma once

#include "ServiceBase.h"

#include <QString>
#include <QStringList>

#include <memory>

namespace NVL::Engineering::VK {

// The operating system's half of the service host: its service manager and dispatcher. Everything
// platform-specific sits behind this interface so ServiceBase and ServiceController stay portable.
class ServicePlatform
{
public:
    virtual ~ServicePlatform() = default;

    virtual bool install(const QString &name, const QString &description, ServiceBase::StartupType startupType,
                         const QString &account, const QString &password) = 0;
    virtual bool uninstall(const QString &name) = 0;
    virtual bool isInstalled(const QString &name) = 0;
    // Who installed the service when it was not this program (a package, say), with the way to remove
    // it; empty when this program did or nothing did. -i and -u change nothing of such a service.
    virtual QString foreignInstallation(const QString &name);
    virtual bool isRunning(const QString &name) = 0;
    virtual bool startService(const QString &name, const QStringList &arguments) = 0;
    virtual bool stopService(const QString &name) = 0;
    virtual bool pauseService(const QString &name) = 0;
    virtual bool resumeService(const QString &name) = 0;
    // code is already checked to lie in 0..127.
    virtual bool sendCommand(const QString &name, int code) = 0;

    // Runs the service under the service manager until it ends; false if that was not possible.
    virtual bool runAsService(ServiceBase &service) = 0;

    // Text of the most recent system error, empty if there is none.
    virtual QString lastErrorText() const;

    // The platform in force: one a caller installed, otherwise the one resolved from the system.
    static ServicePlatform &current();
    // Installs a platform the caller keeps alive; nullptr goes back to the resolved one.
    static void setCurrent(ServicePlatform *platform);

    // The binding of the system this process runs on. Defined beside the bindings it chooses from
    // (ServicePlatformFactory.cpp), so that this interface includes none of them.
    static std::unique_ptr<ServicePlatform> makeSystemPlatform();

protected:
    // Access for implementations that drive the service's life from the service manager.
    static void callStart(ServiceBase &service) { service.start(); }
    static void callStop(ServiceBase &service) { service.stop(); }
    static void callPause(ServiceBase &service) { service.pause(); }
    static void callResume(ServiceBase &service) { service.resume(); }
    static void callRunCommand(ServiceBase &service, int code) { service.runCommand(code); }
    static void callMakeApplication(ServiceBase &service, int &argc, char **argv)
    {
        service.makeApplication(argc, argv);
    }
    static int callRunApplication(ServiceBase &service) { return service.runApplication(); }
    static void callDeleteApplication(ServiceBase &service) { service.deleteApplication(); }
    static bool callHasApplication(const ServiceBase &service) { return service.hasApplication(); }
};

} // namespace NVL::Engineering::VK
