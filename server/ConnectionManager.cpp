#include "ConnectionManager.h"

#include "MessageHeader.h"
#include "ServiceBase.h"
#include "Voltkeep.h"
#include "VoltkeepIdentity.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace NVL::Engineering::VK {

namespace {

constexpr int MaxPendingConnections = 5;
constexpr int ReadWaitMs = 500;
constexpr int UdpBufferSize = MessageHeader::Size + 64;

// IPv4 peers may arrive as IPv4-mapped IPv6 addresses on the dual-stack sockets; a pure IPv6 peer is 0.
quint32 ipv4Of(const QHostAddress &address)
{
    bool ok = false;
    const quint32 ipv4 = address.toIPv4Address(&ok);
    return ok ? ipv4 : 0;
}

void log(const QString &message, LogType type)
{
    ServiceBase::logEvent(message, type);
}

} // namespace

ConnectionManager::ConnectionManager(Voltkeep *server, quint32 port)
    : m_server(server)
    , m_tcpServer(new QTcpServer(this))
{
    const quint16 port16 = quint16(port & 0xFFFF);
    m_tcpServer->setMaxPendingConnections(MaxPendingConnections);
    connect(m_tcpServer, &QTcpServer::newConnection, this, &ConnectionManager::connectionInitiated);
    if (!m_tcpServer->listen(QHostAddress::Any, port16))
        log(QString::fromLatin1(Identity::ServiceName) + QStringLiteral(" Failed to listen for connections: ")
                + m_tcpServer->errorString(),
            LogType::Error);
    if (!m_udpSocket.bind(QHostAddress::Any, port16))
        log(QStringLiteral("Unable to bind UDP socket"), LogType::Error);
    connect(&m_udpSocket, &QUdpSocket::readyRead, this, &ConnectionManager::radioMessageReceived);
}

ConnectionManager::~ConnectionManager()
{
    const std::set<QTcpSocket *> open = m_connections;
    for (QTcpSocket *socket : open)
        closeConnection(socket);
    m_tcpServer->close();
    m_udpSocket.close();
}

void ConnectionManager::connectionInitiated()
{
    while (m_tcpServer->hasPendingConnections()) {
        QTcpSocket *socket = m_tcpServer->nextPendingConnection();
        if (!socket)
            break;
        log(QStringLiteral("Incoming Connection from %1").arg(socket->peerAddress().toString()), LogType::Information);
        // Replies are small and end a request: do not let them wait for the peer's delayed ack.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_connections.insert(socket);
        connect(socket, &QTcpSocket::disconnected, this, &ConnectionManager::connectionClosed);
        connect(socket, &QTcpSocket::errorOccurred, this, &ConnectionManager::socketError);
        connect(socket, &QTcpSocket::readyRead, this, &ConnectionManager::dataAvailable);
    }
}

void ConnectionManager::connectionClosed()
{
    if (auto *socket = qobject_cast<QTcpSocket *>(sender()))
        closeConnection(socket);
}

void ConnectionManager::socketError(QAbstractSocket::SocketError error)
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket) {
        log(QStringLiteral("Unknown socket error"), LogType::Warning);
        return;
    }
    // Qt reports an expired wait of readBytes as a socket error too; the bounded read has already
    // logged it and decides itself whether the connection ends (a delete request's serials do not).
    if (error == QAbstractSocket::SocketTimeoutError)
        return;
    if (error != QAbstractSocket::RemoteHostClosedError)
        log(QStringLiteral("Network error %1 on connection to %2:%3")
                .arg(int(error))
                .arg(socket->peerAddress().toString())
                .arg(socket->peerPort()),
            LogType::Warning);
    closeConnection(socket);
}

void ConnectionManager::dataAvailable()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket || !isOpenConnection(socket) || socket->bytesAvailable() <= 0)
        return;

    char buffer[MessageHeader::Size + 64];
    for (;;) {
        if (!readBytes(socket, buffer, MessageHeader::Size))
            break;
        const MessageHeader header = MessageHeader::fromBytes(buffer);
        if (!isValidHeader(header)) {
            log(QStringLiteral("Protocol error: invalid message"), LogType::Warning);
            break;
        }
        char *payload = buffer + MessageHeader::Size;
        if (!readBytes(socket, payload, quint16(payloadLength(header))))
            break;

        switch (MessageType(header.type)) {
        case MessageType::Null: break;
        case MessageType::VersionRequest: m_server->versionRequested(socket, payload); break;
        case MessageType::BatteryReport: m_server->batteryDataReceived(ipv4Of(socket->peerAddress()), payload); break;
        case MessageType::ListRequest: m_server->batteryListRequested(socket); break;
        case MessageType::DeleteRequest: m_server->batteryDeleteRequested(socket, payload); break;
        default:
            log(QString::fromLatin1(Identity::ServiceName) + QStringLiteral(" Protocol Error: Invalid Message"),
                LogType::Warning);
            break;
        }
        // A handler's blocking reads may have seen the peer go away and closed the connection.
        if (!isOpenConnection(socket) || socket->bytesAvailable() <= 0)
            return;
    }
    // The message was abandoned half-way: the stream can no longer be framed.
    closeConnection(socket);
}

bool ConnectionManager::readBytes(QTcpSocket *socket, char *buffer, quint16 count)
{
    while (socket->bytesAvailable() < count) {
        if (!socket->waitForReadyRead(ReadWaitMs)) {
            log(QStringLiteral("Network error: read timeout"), LogType::Error);
            return false;
        }
    }
    return socket->read(buffer, count) == count;
}

void ConnectionManager::radioMessageReceived()
{
    char buffer[UdpBufferSize];
    QHostAddress sender;
    const qint64 received = m_udpSocket.readDatagram(buffer, UdpBufferSize, &sender);
    if (received < MessageHeader::Size || !isValidHeader(buffer)) {
        log(QStringLiteral("Protocol error: invalid message received"), LogType::Warning);
        return;
    }
    if (MessageHeader::fromBytes(buffer).type != quint8(MessageType::BatteryReport)) {
        log(QStringLiteral("Protocol error: invalid or unsupported message"), LogType::Warning);
        return;
    }
    // A report datagram too short for its record would leave payload bytes undefined: never store it.
    if (received < UdpBufferSize) {
        log(QStringLiteral("Protocol error: invalid message received"), LogType::Warning);
        return;
    }
    m_server->batteryDataReceived(ipv4Of(sender), buffer + MessageHeader::Size);
}

void ConnectionManager::sendVersion(QTcpSocket *socket)
{
    if (!socket)
        return;
    const QByteArray reply = makeHeader(MessageType::VersionResponse).toBytes() + char(ProtocolVersion);
    if (socket->write(reply) != reply.size())
        log(QStringLiteral("Network error: write message failed"), LogType::Error);
}

void ConnectionManager::closeConnection(QTcpSocket *socket)
{
    // A socket may report its end more than once (error, then disconnected, or during a blocking read).
    if (!socket || !isOpenConnection(socket))
        return;
    log(QStringLiteral("Disconnected %1").arg(socket->peerAddress().toString()), LogType::Information);
    socket->disconnect(this);
    m_connections.erase(socket);
    socket->deleteLater();
}

bool ConnectionManager::isOpenConnection(QTcpSocket *socket) const
{
    return m_connections.count(socket) != 0;
}

} // namespace NVL::Engineering::VK
