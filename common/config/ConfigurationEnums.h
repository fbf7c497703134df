#pragma once

namespace NVL::Engineering::VK {

// Stored in the configuration file as plain JSON numbers; the numeric values are part of the file format.

enum class SecurityType : int {
    PlainTcp = 0,    // no encryption
    ImplicitTls = 1, // TLS from the first byte
    StartTls = 2     // plain connection upgraded by STARTTLS
};

enum class NotificationKind : int {
    Periodic = 0,
    Triggered = 1
};

enum class PeriodicType : int {
    Daily = 0,
    Weekly = 1,
    Monthly = 2,
    Annually = 3
};

enum class ReportKind : int {
    FullReport = 0,
    SummaryReport = 1
};

} // namespace NVL::Engineering::VK
