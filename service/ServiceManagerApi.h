#pragma once

#include "WindowsServiceTypes.h"

namespace NVL::Engineering::VK {

// The service manager and event-log operations, looked up by name in "advapi32" the first time any
// is needed. Where the library or its "OpenSCManagerW" is missing there is no service manager.
struct ServiceManagerApi
{
    // The resolved operations, or nullptr when "OpenSCManagerW" could not be resolved.
    static const ServiceManagerApi *instance();

    Win::OpenSCManagerW openSCManager = nullptr;
    Win::OpenServiceW openService = nullptr;
    Win::CreateServiceW createService = nullptr;
    Win::ChangeServiceConfig2W changeServiceConfig2 = nullptr;
    Win::DeleteService deleteService = nullptr;
    Win::CloseServiceHandle closeServiceHandle = nullptr;
    Win::StartServiceW startService = nullptr;
    Win::ControlService controlService = nullptr;
    Win::QueryServiceStatus queryServiceStatus = nullptr;
    Win::StartServiceCtrlDispatcherW startServiceCtrlDispatcher = nullptr;
    Win::RegisterServiceCtrlHandlerW registerServiceCtrlHandler = nullptr;
    Win::SetServiceStatus setServiceStatus = nullptr;
    Win::RegisterEventSourceW registerEventSource = nullptr;
    Win::ReportEventW reportEvent = nullptr;
    Win::DeregisterEventSource deregisterEventSource = nullptr;
    // Resolved with the rest; the binding has no use for them yet.
    Win::QueryServiceConfigW queryServiceConfig = nullptr;
    Win::QueryServiceConfig2W queryServiceConfig2 = nullptr;
};

} // namespace NVL::Engineering::VK
