#include "ServiceManagerApi.h"

#include <QLibrary>

#include <memory>

namespace NVL::Engineering::VK {

namespace {

template <typename Function>
void resolveInto(QLibrary &library, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(library.resolve(name));
}

std::unique_ptr<ServiceManagerApi> resolveApi()
{
    // Never unloaded: the dispatcher may call back into the library until the process ends.
    static QLibrary library(QStringLiteral("advapi32"));
    auto api = std::make_unique<ServiceManagerApi>();
    resolveInto(library, "OpenSCManagerW", api->openSCManager);
    if (!api->openSCManager)
        return nullptr;
    resolveInto(library, "OpenServiceW", api->openService);
    resolveInto(library, "CreateServiceW", api->createService);
    resolveInto(library, "ChangeServiceConfig2W", api->changeServiceConfig2);
    resolveInto(library, "DeleteService", api->deleteService);
    resolveInto(library, "CloseServiceHandle", api->closeServiceHandle);
    resolveInto(library, "StartServiceW", api->startService);
    resolveInto(library, "ControlService", api->controlService);
    resolveInto(library, "QueryServiceStatus", api->queryServiceStatus);
    resolveInto(library, "StartServiceCtrlDispatcherW", api->startServiceCtrlDispatcher);
    resolveInto(library, "RegisterServiceCtrlHandlerW", api->registerServiceCtrlHandler);
    resolveInto(library, "SetServiceStatus", api->setServiceStatus);
    resolveInto(library, "RegisterEventSourceW", api->registerEventSource);
    resolveInto(library, "ReportEventW", api->reportEvent);
    resolveInto(library, "DeregisterEventSource", api->deregisterEventSource);
    resolveInto(library, "QueryServiceConfigW", api->queryServiceConfig);
    resolveInto(library, "QueryServiceConfig2W", api->queryServiceConfig2);
    // A library that has the first but lacks any other is not one to drive a service with.
    const bool complete = api->openService && api->createService && api->changeServiceConfig2 && api->deleteService
                          && api->closeServiceHandle && api->startService && api->controlService
                          && api->queryServiceStatus && api->startServiceCtrlDispatcher
                          && api->registerServiceCtrlHandler && api->setServiceStatus && api->registerEventSource
                          && api->reportEvent && api->deregisterEventSource;
    return complete ? std::move(api) : nullptr;
}

} // namespace

const ServiceManagerApi *ServiceManagerApi::instance()
{
    // Never destroyed: a dispatcher thread that was given up on may still use it while the process ends.
    static const ServiceManagerApi *const api = resolveApi().release();
    return api;
}

} // namespace NVL::Engineering::VK
