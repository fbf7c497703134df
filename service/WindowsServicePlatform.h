#pragma once

#include "ServicePlatform.h"

#include <cstdint>

namespace NVL::Engineering::VK {

struct ServiceManagerApi;

// The Windows Service Control Manager, driven through the operations resolved from "advapi32".
class WindowsServicePlatform final : public ServicePlatform
{
public:
    // How long running as a service waits for the dispatcher to call the service main function.
    static constexpr int defaultStartWaitMs = 20000;

    explicit WindowsServicePlatform(const ServiceManagerApi &api, int startWaitMs = defaultStartWaitMs);

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
    QString lastErrorText() const override;

private:
    class Handle;

    // Opens the manager and the service, sends one control and closes both.
    bool control(const QString &name, std::uint32_t serviceAccess, std::uint32_t code);
    void noteFailure() const;

    const ServiceManagerApi &m_api;
    const int m_startWaitMs;
};

} // namespace NVL::Engineering::VK
