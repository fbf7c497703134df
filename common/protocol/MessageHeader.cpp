#include "MessageHeader.h"

#include <cstring>

namespace NVL::Engineering::VK {

MessageHeader MessageHeader::fromBytes(const char *bytes)
{
    MessageHeader header;
    std::memcpy(&header, bytes, Size);
    return header;
}

QByteArray MessageHeader::toBytes() const
{
    return QByteArray(reinterpret_cast<const char *>(this), Size);
}

MessageHeader makeHeader(MessageType type, quint32 length)
{
    MessageHeader header;
    header.magic = MessageHeader::Magic;
    header.version = ProtocolVersion;
    header.type = quint8(type);
    header.reserved = 0;
    switch (type) {
    case MessageType::VersionRequest:
    case MessageType::VersionResponse: header.length = 1; break;
    case MessageType::BatteryReport: header.length = 64; break;
    case MessageType::ListResponse:
    case MessageType::DeleteRequest: header.length = length; break;
    default: header.length = 0; break;
    }
    return header;
}

bool isValidHeader(const MessageHeader &header)
{
    if (header.magic != MessageHeader::Magic || header.version != ProtocolVersion)
        return false;
    // Unsigned on purpose: a length below 4 wraps around and fails the multiple test.
    const quint32 afterCount = header.length - 4u;
    switch (MessageType(header.type)) {
    case MessageType::Null:
    case MessageType::ListRequest: return header.length == 0;
    case MessageType::VersionRequest:
    case MessageType::VersionResponse: return header.length == 1;
    case MessageType::BatteryReport: return header.length == 64;
    case MessageType::ListResponse: return (afterCount & 63u) == 0;
    case MessageType::DeleteRequest: return (afterCount & 7u) == 0;
    }
    return false;
}

bool isValidHeader(const char *bytes)
{
    return isValidHeader(MessageHeader::fromBytes(bytes));
}

quint32 payloadLength(const MessageHeader &header)
{
    switch (MessageType(header.type)) {
    case MessageType::VersionRequest:
    case MessageType::VersionResponse: return 1;
    case MessageType::BatteryReport: return 64;
    case MessageType::ListResponse:
    case MessageType::DeleteRequest: return 4;
    default: return 0;
    }
}

} // namespace NVL::Engineering::VK
