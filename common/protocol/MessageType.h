#pragma once

#include <QtGlobal>

namespace NVL::Engineering::VK {

// Message types of the radio link.
enum class MessageType : quint8 {
    Null = 0,
    VersionRequest = 1,
    VersionResponse = 2,
    BatteryReport = 3,
    ListRequest = 4,
    ListResponse = 5,
    DeleteRequest = 6,
};

constexpr quint8 ProtocolVersion = 1;

} // namespace NVL::Engineering::VK
