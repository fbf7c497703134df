#pragma once

#include "MessageType.h"

#include <QByteArray>
#include <QtGlobal>

namespace NVL::Engineering::VK {

// The 12-byte header in front of every radio message, little-endian on the wire.
#pragma pack(push, 1)
struct MessageHeader
{
    quint32 magic = 0;
    quint8 version = 0;
    quint8 type = 0;
    quint16 reserved = 0;
    quint32 length = 0;

    static constexpr int Size = 12;
    static constexpr quint32 Magic = 0x53544142u; // "BATS"

    static MessageHeader fromBytes(const char *bytes);
    QByteArray toBytes() const;
};
#pragma pack(pop)

static_assert(sizeof(MessageHeader) == MessageHeader::Size, "MessageHeader must be exactly 12 bytes");
static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "MessageHeader mirrors little-endian wire bytes");

// A header of our protocol version; the length comes from the type except for list and delete messages.
MessageHeader makeHeader(MessageType type, quint32 length = 0);
bool isValidHeader(const MessageHeader &header);
bool isValidHeader(const char *bytes);
// Payload bytes read together with the header; for list and delete messages only the count.
quint32 payloadLength(const MessageHeader &header);

} // namespace NVL::Engineering::VK
