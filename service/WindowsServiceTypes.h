#pragma once

// The few types and numbers of the Windows service manager and event log that the binding needs,
// declared here so that the binding compiles, and can be exercised, on every platform.

#include "ServiceStatus.h"

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define VK_WINAPI __stdcall
#else
// The 64-bit Windows ABI has one calling convention; elsewhere there is nothing to choose.
#define VK_WINAPI
#endif

namespace NVL::Engineering::VK::Win {

using Dword = std::uint32_t;
using Word = std::uint16_t;
using Bool = int;
// Windows' wide characters are UTF-16 code units.
using WChar = char16_t;
static_assert(sizeof(WChar) == sizeof(unsigned short), "UTF-16 code units");

using ScHandle = void *;             // service manager or service
using StatusHandle = void *;         // from the register-control-handler operation
using EventSourceHandle = void *;    // from the register-event-source operation

// SERVICE_STATUS is the seven-field record of the run state, handed over as is.
using ServiceStatusRecord = ServiceStatus;

using ServiceMainFunction = void(VK_WINAPI *)(Dword argc, WChar **argv);
using HandlerFunction = void(VK_WINAPI *)(Dword control);

// One entry of the dispatcher table; the table ends with an entry of two null pointers.
struct ServiceTableEntry
{
    WChar *serviceName;
    ServiceMainFunction serviceMain;
};

// Information level 1 of the configure-service operation.
struct ServiceDescription
{
    WChar *description;
};

// The part of a native message that the event filter reads.
struct Message
{
    void *window;
    std::uint32_t message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    Dword time;
    std::int32_t x;
    std::int32_t y;
};

// Access rights.
constexpr Dword ManagerConnect = 0x0001;
constexpr Dword ManagerCreateService = 0x0002;
constexpr Dword ManagerAllAccess = 0xF003F;
constexpr Dword ServiceQueryConfig = 0x0001;
constexpr Dword ServiceChangeConfig = 0x0002;
constexpr Dword ServiceQueryStatus = 0x0004;
constexpr Dword ServiceStart = 0x0010;
constexpr Dword ServiceStop = 0x0020;
constexpr Dword ServicePauseContinue = 0x0040;
constexpr Dword ServiceInterrogate = 0x0080;
constexpr Dword ServiceUserDefinedControl = 0x0100;
constexpr Dword ServiceAllAccess = 0xF01FF;
constexpr Dword Delete = 0x10000;

// Registration values.
constexpr Dword ServiceWin32OwnProcess = 0x10;
constexpr Dword ServiceInteractiveProcess = 0x100;
constexpr Dword ServiceAutoStart = 2;
constexpr Dword ServiceDemandStart = 3;
constexpr Dword ServiceErrorNormal = 1;
constexpr Dword ServiceConfigDescription = 1;

// Event-log entry types.
constexpr Word EventLogSuccess = 0;
constexpr Word EventLogError = 1;
constexpr Word EventLogWarning = 2;
constexpr Word EventLogInformation = 4;

// System error codes the binding or its stand-in meet.
constexpr Dword ErrorAccessDenied = 5;
constexpr Dword ErrorInvalidHandle = 6;
constexpr Dword ErrorInvalidParameter = 87;
constexpr Dword ErrorInvalidServiceControl = 1052;
constexpr Dword ErrorServiceAlreadyRunning = 1056;
constexpr Dword ErrorServiceDoesNotExist = 1060;
constexpr Dword ErrorServiceCannotAcceptControl = 1061;
constexpr Dword ErrorServiceNotActive = 1062;
constexpr Dword ErrorFailedServiceControllerConnect = 1063;
constexpr Dword ErrorServiceExists = 1073;

// WM_ENDSESSION and the bit of its lParam that marks a user logoff (ENDSESSION_LOGOFF).
constexpr std::uint32_t WmEndSession = 0x16;
constexpr std::uint32_t EndSessionLogoff = 0x80000000u;

// The operations resolved from "advapi32".
using OpenSCManagerW = ScHandle(VK_WINAPI *)(const WChar *machine, const WChar *database, Dword access);
using OpenServiceW = ScHandle(VK_WINAPI *)(ScHandle manager, const WChar *name, Dword access);
using CreateServiceW = ScHandle(VK_WINAPI *)(ScHandle manager, const WChar *name, const WChar *displayName,
                                             Dword access, Dword serviceType, Dword startType, Dword errorControl,
                                             const WChar *binaryPath, const WChar *loadOrderGroup, Dword *tagId,
                                             const WChar *dependencies, const WChar *account, const WChar *password);
using ChangeServiceConfig2W = Bool(VK_WINAPI *)(ScHandle service, Dword infoLevel, void *info);
using DeleteService = Bool(VK_WINAPI *)(ScHandle service);
using CloseServiceHandle = Bool(VK_WINAPI *)(ScHandle handle);
using StartServiceW = Bool(VK_WINAPI *)(ScHandle service, Dword argc, const WChar **argv);
using ControlService = Bool(VK_WINAPI *)(ScHandle service, Dword control, ServiceStatusRecord *status);
using QueryServiceStatus = Bool(VK_WINAPI *)(ScHandle service, ServiceStatusRecord *status);
using StartServiceCtrlDispatcherW = Bool(VK_WINAPI *)(const ServiceTableEntry *table);
using RegisterServiceCtrlHandlerW = StatusHandle(VK_WINAPI *)(const WChar *name, HandlerFunction handler);
using SetServiceStatus = Bool(VK_WINAPI *)(StatusHandle handle, ServiceStatusRecord *status);
using RegisterEventSourceW = EventSourceHandle(VK_WINAPI *)(const WChar *server, const WChar *source);
using ReportEventW = Bool(VK_WINAPI *)(EventSourceHandle source, Word type, Word category, Dword eventId,
                                       void *userSid, Word stringCount, Dword dataSize, const WChar **strings,
                                       void *data);
using DeregisterEventSource = Bool(VK_WINAPI *)(EventSourceHandle source);
using QueryServiceConfigW = Bool(VK_WINAPI *)(ScHandle service, void *config, Dword bufferSize, Dword *bytesNeeded);
using QueryServiceConfig2W = Bool(VK_WINAPI *)(ScHandle service, Dword infoLevel, std::uint8_t *buffer,
                                               Dword bufferSize, Dword *bytesNeeded);

// The small calls of "kernel32" the binding uses where they exist.
using GetModuleFileNameW = Dword(VK_WINAPI *)(void *module, WChar *buffer, Dword size);
using GetLastError = Dword(VK_WINAPI *)();
using FormatMessageW = Dword(VK_WINAPI *)(Dword flags, const void *source, Dword messageId, Dword languageId,
                                          WChar *buffer, Dword size, void *arguments);
using Sleep = void(VK_WINAPI *)(Dword milliseconds);

} // namespace NVL::Engineering::VK::Win
