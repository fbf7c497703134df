#pragma once

#include "BatteryRecord.h"

#include <QByteArray>
#include <QtGlobal>

namespace NVL::Engineering::VK {

// A TCP connection as the radio port names it to the sink; never reused while the port lives.
using ConnectionId = quint64;
enum class RadioTransport { Tcp, Udp };

// Where the radio port hands every decoded message. The port knows nothing else of the server:
// replies go back through the port's own operations, addressed by the connection's id.
class RadioSink
{
public:
    virtual ~RadioSink() = default;

    // A battery report as received, from `senderIpv4` (0 for a peer that is not IPv4); `sender` is the
    // peer's address in full, 4 bytes for IPv4 and 16 for IPv6.
    virtual void reportReceived(const BatteryRecord &record, quint32 senderIpv4, const QByteArray &sender,
                                RadioTransport transport) = 0;
    // A report datagram too short for its record: nothing of it is used.
    virtual void malformedReport(RadioTransport) {}
    virtual void versionRequested(ConnectionId connection, quint8 peerVersion) = 0;
    virtual void listRequested(ConnectionId connection) = 0;
    // The start of a delete request; its serials follow one by one as they arrive.
    virtual void deleteRequested(ConnectionId connection) = 0;
    virtual void deleteSerialReceived(const QByteArray &serial) = 0;
};

} // namespace NVL::Engineering::VK
