#pragma once

#include <cstdint>

namespace NVL::Engineering::VK {

// The service's status as the service manager sees it: seven unsigned 32-bit numbers in the order
// the platform's set-status operation takes them, so the record can be handed over whole.
struct ServiceStatus
{
    std::uint32_t serviceType = 0;
    std::uint32_t currentState = 0;
    std::uint32_t controlsAccepted = 0;
    std::uint32_t exitCode = 0;
    std::uint32_t serviceSpecificExitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHint = 0;
};

static_assert(sizeof(ServiceStatus) == 7 * sizeof(std::uint32_t), "the record is passed to the platform as is");

// Service states in the service manager's numbering.
enum ServiceState : std::uint32_t {
    ServiceStopped = 1,
    ServiceStartPending = 2,
    ServiceStopPending = 3,
    ServiceRunning = 4,
    ServiceContinuePending = 5,
    ServicePausePending = 6,
    ServicePaused = 7,
};

// Control requests the control handler understands; 128 to 255 are user-defined.
enum ServiceControl : std::uint32_t {
    ControlStop = 1,
    ControlPause = 2,
    ControlContinue = 3,
    ControlInterrogate = 4,
    ControlShutdown = 5,
    ControlUserFirst = 128,
    ControlUserLast = 255,
    // Not from the service manager: sent by the service main function once the handler is registered.
    ControlInternalStart = 256,
};

// Bits of the accepted-controls field.
enum AcceptedControl : std::uint32_t {
    AcceptStop = 0x1,
    AcceptPauseContinue = 0x2,
    AcceptShutdown = 0x4,
};

// The exit code that tells the service manager to read the service-specific exit code instead.
constexpr std::uint32_t ErrorServiceSpecificError = 1066;

// Own process that may interact with the desktop.
constexpr std::uint32_t ServiceTypeInteractiveOwnProcess = 0x110;

} // namespace NVL::Engineering::VK
