#include "ConnectionManager.h"

#include "Log.h"
#include "MessageHeader.h"
#include "PeerAcceptor.h"
#include "VoltkeepIdentity.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace NVL::Engineering::VK {

namespace {

constexpr int MaxPendingConnections = 5;
constexpr int UdpBufferSize = MessageHeader::Size + 64;
constexpr int SerialSize = 8;
// Input held per connection, in Qt's socket buffer and in ours each: a peer sending faster than its
// reports are handled is slowed down by TCP instead of growing the server.
constexpr qint64 InputBufferBytes = 64 * 1024;

// IPv4 peers may arrive as IPv4-mapped IPv6 addresses on the dual-stack sockets; a pure IPv6 peer is 0.
quint32 ipv4Of(const QHostAddress &address)
{
    bool ok = false;
    const quint32 ipv4 = address.toIPv4Address(&ok);
    return ok ? ipv4 : 0;
}

// The address in network byte order: 4 bytes for an IPv4 peer however the socket names it, else 16.
QByteArray addressBytes(const QHostAddress &address)
{
    if (const quint32 ipv4 = ipv4Of(address)) {
        const char bytes[] = {char(ipv4 >> 24), char(ipv4 >> 16), char(ipv4 >> 8), char(ipv4)};
        return QByteArray(bytes, 4);
    }
    const Q_IPV6ADDR ipv6 = address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char *>(ipv6.c), 16);
}

// An IPv4 peer by its plain address, however the dual-stack socket names it.
QString senderName(const QHostAddress &address)
{
    const quint32 ipv4 = ipv4Of(address);
    return ipv4 ? QHostAddress(ipv4).toString() : address.toString();
}

} // namespace

struct ConnectionManager::Connection
{
    QTcpSocket *socket = nullptr;
    ConnectionId id = 0;
    // Taken at accept: once the peer has gone the socket no longer knows them.
    QString peerText;
    QString address; // the key of its address's share
    quint32 peerIpv4 = 0;
    QByteArray peerBytes;
    QTimer *readTimer = nullptr; // a child of the socket: it may be the one whose time-out closes it
    QByteArray input; // bytes taken from the socket, not yet handled from `consumed` on
    qsizetype consumed = 0;
    bool haveHeader = false;
    MessageHeader header;
    quint32 serialsLeft = 0; // of the delete request being read
    bool turnQueued = false;
    bool outputBlocked = false;
    QTimer *outputTimer = nullptr; // runs while outputBlocked; restarted whenever bytes leave
    QTimer *idleTimer = nullptr;   // restarted whenever bytes arrive or leave
    std::unique_ptr<ReplyStream> stream; // the reply being given in parts, if any

    qint64 available() const { return input.size() - consumed; }
    const char *data() const { return input.constData() + consumed; }

    // Moves what the socket has into our buffer. Asking the socket for more than it holds also lets
    // it read from the network again after its own buffer had filled up.
    void pull()
    {
        if (consumed > 0 && (consumed == input.size() || consumed >= InputBufferBytes)) {
            input.remove(0, consumed);
            consumed = 0;
        }
        if (available() < InputBufferBytes && socket->bytesAvailable() > 0)
            input.append(socket->read(socket->bytesAvailable() + 1));
    }

    // In the middle of a message (or of a delete request's serials) the peer owes us bytes.
    bool owesBytes() const { return haveHeader || serialsLeft > 0 || available() > 0; }
};

ConnectionManager::ConnectionManager(RadioSink *sink, quint32 port, const ConnectionLimits &limits)
    : m_sink(sink)
    , m_limits(limits)
    , m_tcpServer(new QTcpServer(this))
{
    const quint16 port16 = quint16(port & 0xFFFF);
    m_tcpServer->setMaxPendingConnections(MaxPendingConnections);
    if (m_tcpServer->listen(QHostAddress::Any, port16)) {
        m_acceptor = std::make_unique<PeerAcceptor>(m_tcpServer);
        connect(m_acceptor.get(), &PeerAcceptor::accepted, this, &ConnectionManager::connectionInitiated);
        connect(m_acceptor.get(), &PeerAcceptor::failed, this, &ConnectionManager::acceptFailed);
    } else {
        m_listenFailure = QString::fromLatin1(Identity::ServiceName)
            + QStringLiteral(" Failed to listen for connections: ") + m_tcpServer->errorString();
        Log::error(m_listenFailure);
    }
    if (!m_udpSocket.bind(QHostAddress::Any, port16)) {
        const QString failure =
            QStringLiteral("Unable to bind UDP socket to port %1: %2").arg(port16).arg(m_udpSocket.errorString());
        Log::error(failure);
        if (m_listenFailure.isEmpty())
            m_listenFailure = failure;
    } else {
        requestReceiveBuffer();
    }
    connect(&m_udpSocket, &QUdpSocket::readyRead, this, &ConnectionManager::radioMessageReceived);
}

ConnectionManager::~ConnectionManager()
{
    // Messages already received are handled before their connection closes, as they would have
    // been had the stop come a moment later.
    while (!m_connections.empty())
        finishConnection(m_connections.begin()->first, false);
    m_acceptor.reset(); // its notifier must not outlive the descriptor it watches
    m_tcpServer->close();
    m_udpSocket.close();
}

void ConnectionManager::requestReceiveBuffer()
{
    m_udpSocket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, UdpReceiveBufferBytes);
    const qint64 granted = m_udpSocket.socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toLongLong();
    if (granted < UdpReceiveBufferBytes)
        Log::warning(
            QStringLiteral("UDP receive buffer is %1 bytes, %2 were asked for: reports beyond it in a burst may be lost")
                .arg(granted)
                .arg(UdpReceiveBufferBytes));
}

void ConnectionManager::connectionInitiated(QTcpSocket *socket, const QHostAddress &peer)
{
    m_acceptTroubleLogged = false;
    const QString peerText = peer.toString();
    const quint32 peerIpv4 = ipv4Of(peer);
    const QString address = senderName(peer);
    int &held = m_perAddress[address];
    if (held >= m_limits.connectionsPerAddress) {
        // One line per episode: the address is told again once it has come back under its share.
        if (m_refusedAddresses.insert(address).second)
            Log::warning(
                QStringLiteral("Connections from %1 refused: it holds %2 already, the most one address may hold")
                    .arg(address)
                    .arg(held));
        socket->abort();
        socket->deleteLater();
        return;
    }
    ++held;
    auto connection = std::make_unique<Connection>();
    connection->socket = socket;
    connection->id = ++m_lastId;
    connection->peerText = peerText;
    connection->address = address;
    connection->peerIpv4 = peerIpv4;
    connection->peerBytes = addressBytes(peer);
    m_connectionsOpened.log(address, QStringLiteral("Incoming Connection from %1").arg(connection->peerText), LogType::Information);
    // Replies are small and end a request: do not let them wait for the peer's delayed ack.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setReadBufferSize(InputBufferBytes);
    connection->readTimer = new QTimer(socket);
    connection->readTimer->setSingleShot(true);
    connection->readTimer->setInterval(ReadWaitMs);
    connect(connection->readTimer, &QTimer::timeout, this, [this, socket] { readTimedOut(socket); });
    connection->outputTimer = new QTimer(socket);
    connection->outputTimer->setSingleShot(true);
    connection->outputTimer->setInterval(OutputStallMs);
    connect(connection->outputTimer, &QTimer::timeout, this, [this, socket] {
        Log::error(QStringLiteral("Network error: write message failed"));
        closeConnection(socket);
    });
    connection->idleTimer = new QTimer(socket);
    connection->idleTimer->setSingleShot(true);
    connection->idleTimer->setInterval(m_limits.idleMs);
    connect(connection->idleTimer, &QTimer::timeout, this, [this, socket] { idleTimedOut(socket); });
    connection->idleTimer->start();
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { outputDrained(socket); });
    m_sockets.emplace(connection->id, socket);
    m_connections.emplace(socket, std::move(connection));
    connect(socket, &QTcpSocket::disconnected, this, &ConnectionManager::connectionClosed);
    connect(socket, &QTcpSocket::errorOccurred, this, &ConnectionManager::socketError);
    connect(socket, &QTcpSocket::readyRead, this, &ConnectionManager::dataAvailable);
}

QTcpSocket *ConnectionManager::senderSocket() const
{
    // Found by address alone: a signal may come from a socket that is already being destroyed, which
    // must not be touched.
    const auto it = m_connections.find(static_cast<QTcpSocket *>(sender()));
    return it == m_connections.end() ? nullptr : it->first;
}

void ConnectionManager::connectionClosed()
{
    if (QTcpSocket *socket = senderSocket())
        finishConnection(socket, true);
}

void ConnectionManager::socketError(QAbstractSocket::SocketError error)
{
    if (!sender()) {
        Log::warning(QStringLiteral("Unknown socket error"));
        return;
    }
    QTcpSocket *socket = senderSocket();
    const Connection *connection = connectionOf(socket);
    if (!connection || error == QAbstractSocket::SocketTimeoutError)
        return;
    if (error != QAbstractSocket::RemoteHostClosedError)
        Log::warning(QStringLiteral("Network error %1 on connection to %2:%3")
                         .arg(int(error))
                         .arg(connection->peerText)
                         .arg(socket->peerPort()));
    finishConnection(socket, true);
}

void ConnectionManager::dataAvailable()
{
    Connection *connection = connectionOf(senderSocket());
    if (!connection)
        return;
    // New bytes: the pause before the next ones starts again.
    connection->readTimer->stop();
    connection->idleTimer->start();
    if (!connection->turnQueued && !connection->outputBlocked)
        handleTurn(*connection, Turn::Bounded);
}

void ConnectionManager::handleTurn(Connection &connection, Turn turn)
{
    QTcpSocket *const socket = connection.socket;
    const auto waitForMore = [&] {
        if (turn == Turn::Bounded && !connection.readTimer->isActive())
            connection.readTimer->start();
    };
    for (int handled = 0;; ++handled) {
        if (turn == Turn::Bounded) {
            if (outputBlocked(connection)) {
                connection.readTimer->stop();
                return;
            }
            if (handled >= TurnMessages) {
                scheduleTurn(connection);
                return;
            }
        }
        connection.pull();

        if (connection.serialsLeft > 0) {
            if (connection.available() < SerialSize)
                return waitForMore();
            char serial[SerialSize];
            std::memcpy(serial, connection.data(), SerialSize);
            connection.consumed += SerialSize;
            --connection.serialsLeft;
            m_sink->deleteSerialReceived(QByteArray(serial, SerialSize));
            continue;
        }

        if (!connection.haveHeader) {
            if (connection.available() == 0) {
                connection.readTimer->stop();
                return;
            }
            if (connection.available() < MessageHeader::Size)
                return waitForMore();
            connection.header = MessageHeader::fromBytes(connection.data());
            if (!isValidHeader(connection.header)) {
                logProtocolError(connection.address, QStringLiteral("Protocol error: invalid message"));
                // The stream can no longer be framed.
                closeConnection(socket);
                return;
            }
            connection.consumed += MessageHeader::Size;
            connection.haveHeader = true;
        }
        const qint64 length = payloadLength(connection.header);
        if (connection.available() < length)
            return waitForMore();
        char payload[64];
        std::memcpy(payload, connection.data(), size_t(length));
        connection.consumed += length;
        connection.haveHeader = false;
        connection.readTimer->stop();
        dispatch(connection, payload);
        // A handler may have closed the connection.
        if (!connectionOf(socket))
            return;
    }
}

void ConnectionManager::dispatch(Connection &connection, const char *payload)
{
    const ConnectionId id = connection.id;
    switch (MessageType(connection.header.type)) {
    case MessageType::Null: break;
    case MessageType::VersionRequest: m_sink->versionRequested(id, quint8(payload[0])); break;
    case MessageType::BatteryReport:
        m_sink->reportReceived(BatteryRecord::fromBytes(payload), connection.peerIpv4, connection.peerBytes,
                              RadioTransport::Tcp);
        break;
    case MessageType::ListRequest: m_sink->listRequested(id); break;
    case MessageType::DeleteRequest:
        m_sink->deleteRequested(id);
        connection.serialsLeft = qFromLittleEndian<quint32>(payload);
        break;
    default:
        logProtocolError(connection.address,
                         QString::fromLatin1(Identity::ServiceName) + QStringLiteral(" Protocol Error: Invalid Message"));
        break;
    }
}

void ConnectionManager::scheduleTurn(Connection &connection)
{
    if (connection.turnQueued)
        return;
    connection.turnQueued = true;
    QTcpSocket *const socket = connection.socket;
    // Queued: the connections with bytes waiting, and the datagrams, come first.
    QMetaObject::invokeMethod(
        this,
        [this, socket] {
            Connection *queued = connectionOf(socket);
            if (!queued)
                return;
            queued->turnQueued = false;
            handleTurn(*queued, Turn::Bounded);
        },
        Qt::QueuedConnection);
}

bool ConnectionManager::outputBlocked(Connection &connection)
{
    if (!connection.stream && connection.socket->bytesToWrite() <= OutputBoundBytes)
        return false;
    if (!connection.outputBlocked) {
        connection.outputBlocked = true;
        connection.outputTimer->start();
    }
    return true;
}

void ConnectionManager::outputDrained(QTcpSocket *socket)
{
    Connection *connection = connectionOf(socket);
    if (!connection)
        return;
    connection->idleTimer->start();
    if (!connection->outputBlocked)
        return;
    if (connection->stream) {
        connection->outputTimer->start();
        feedStream(*connection);
        return;
    }
    if (socket->bytesToWrite() > OutputBoundBytes) {
        // Moving, if slowly: the peer is reading.
        connection->outputTimer->start();
        return;
    }
    connection->outputBlocked = false;
    connection->outputTimer->stop();
    scheduleTurn(*connection);
}

void ConnectionManager::acceptFailed(const QString &reason)
{
    // Accepting has paused; without a resume the port would stay deaf for good. Most likely the
    // process ran out of descriptors: give the open connections a moment to end.
    if (!m_acceptTroubleLogged) {
        m_acceptTroubleLogged = true;
        Log::warning(
            QStringLiteral("Cannot accept a connection (%1); accepting again in %2 ms").arg(reason).arg(AcceptPauseMs));
    }
    QTimer::singleShot(AcceptPauseMs, m_acceptor.get(), &PeerAcceptor::resume);
}

void ConnectionManager::readTimedOut(QTcpSocket *socket)
{
    Connection *connection = connectionOf(socket);
    if (!connection || connection->outputBlocked)
        return;
    Log::error(QStringLiteral("Network error: read timeout"));
    if (connection->serialsLeft > 0) {
        // The request ends; whatever came of the serial is read as the next message.
        connection->serialsLeft = 0;
        handleTurn(*connection, Turn::Bounded);
        return;
    }
    closeConnection(socket);
}

void ConnectionManager::finishConnection(QTcpSocket *socket, bool peerGone)
{
    Connection *connection = connectionOf(socket);
    if (!connection)
        return;
    handleTurn(*connection, Turn::Final);
    // Still there unless a handler closed it; the peer left in the middle of a message.
    if (peerGone && connectionOf(socket) && connection->owesBytes())
        Log::error(QStringLiteral("Network error: read timeout"));
    closeConnection(socket);
}

void ConnectionManager::radioMessageReceived()
{
    char buffer[UdpBufferSize];
    // Every datagram waiting is taken, so a burst leaves the kernel's buffer at once and its reports are
    // committed together; past the bound of one turn Qt signals the rest again on the next pass of the
    // loop (the socket stays readable), after the TCP connections have had theirs.
    for (int taken = 0; taken < TurnDatagrams && m_udpSocket.hasPendingDatagrams(); ++taken) {
        QHostAddress sender;
        const qint64 received = m_udpSocket.readDatagram(buffer, UdpBufferSize, &sender);
        if (received < MessageHeader::Size || !isValidHeader(buffer)) {
            logProtocolError(senderName(sender), QStringLiteral("Protocol error: invalid message received"));
            continue;
        }
        if (MessageHeader::fromBytes(buffer).type != quint8(MessageType::BatteryReport)) {
            logProtocolError(senderName(sender), QStringLiteral("Protocol error: invalid or unsupported message"));
            continue;
        }
        // A report datagram too short for its record would leave payload bytes undefined: never store it.
        if (received < UdpBufferSize) {
            logProtocolError(senderName(sender), QStringLiteral("Protocol error: invalid message received"));
            m_sink->malformedReport(RadioTransport::Udp);
            continue;
        }
        m_sink->reportReceived(BatteryRecord::fromBytes(buffer + MessageHeader::Size), ipv4Of(sender),
                               addressBytes(sender), RadioTransport::Udp);
    }
}

void ConnectionManager::sendVersion(ConnectionId id)
{
    sendReply(id, makeHeader(MessageType::VersionResponse).toBytes() + char(ProtocolVersion));
}

void ConnectionManager::sendReply(ConnectionId id, const QByteArray &bytes)
{
    const Connection *connection = connectionOf(id);
    if (!connection || connection->socket->state() != QAbstractSocket::ConnectedState)
        return;
    boundUnsentBytes(bytes.size(), connection);
    connection = connectionOf(id); // closed if it held the most
    if (!connection)
        return;
    if (connection->socket->write(bytes) != bytes.size())
        Log::error(QStringLiteral("Network error: write message failed"));
}

void ConnectionManager::sendStream(ConnectionId id, std::unique_ptr<ReplyStream> stream)
{
    Connection *connection = connectionOf(id);
    if (!connection || connection->socket->state() != QAbstractSocket::ConnectedState)
        return;
    connection->stream = std::move(stream);
    outputBlocked(*connection);
    feedStream(*connection);
}

void ConnectionManager::feedStream(Connection &connection)
{
    QTcpSocket *const socket = connection.socket;
    // Up to the bound a reply may hold at once, so that a list of a small fleet still goes out in one turn,
    // but never more than a quarter of what all peers together may hold.
    const qint64 held = std::max(StreamPartBytes, std::min(OutputBoundBytes, m_limits.unsentBytes / 4));
    while (connection.stream && !connection.stream->atEnd() && socket->bytesToWrite() < held) {
        const QByteArray part = connection.stream->next(StreamPartBytes);
        boundUnsentBytes(part.size(), &connection);
        if (!connectionOf(socket))
            return; // closed: it held the most
        if (socket->write(part) != part.size()) {
            Log::error(QStringLiteral("Network error: write message failed"));
            closeConnection(socket);
            return;
        }
    }
    if (!connection.stream || !connection.stream->atEnd())
        return;
    connection.stream.reset();
    // Done: what is left waits under the bound like any reply.
    if (socket->bytesToWrite() <= OutputBoundBytes) {
        connection.outputBlocked = false;
        connection.outputTimer->stop();
        scheduleTurn(connection);
    }
}

void ConnectionManager::boundUnsentBytes(qint64 adding, const Connection *sending)
{
    const auto unsentOf = [sending, adding](const Connection &connection) {
        return connection.socket->bytesToWrite() + (&connection == sending ? adding : 0);
    };
    qint64 total = adding;
    for (const auto &entry : m_connections)
        total += entry.second->socket->bytesToWrite();
    if (total <= m_limits.unsentBytes / 2)
        m_unsentTroubleLogged = false;
    while (total > m_limits.unsentBytes) {
        const auto most = std::max_element(m_connections.cbegin(), m_connections.cend(), [&](const auto &a, const auto &b) {
            return unsentOf(*a.second) < unsentOf(*b.second);
        });
        if (most == m_connections.cend())
            return;
        if (!m_unsentTroubleLogged) {
            m_unsentTroubleLogged = true;
            Log::warning(QStringLiteral("Replies not taken by their peers passed %1 MiB: closing the connections that "
                                        "hold the most, %2 first")
                             .arg(m_limits.unsentBytes / (1024 * 1024))
                             .arg(most->second->peerText));
        }
        total -= unsentOf(*most->second);
        closeConnection(most->first);
    }
}

void ConnectionManager::idleTimedOut(QTcpSocket *socket)
{
    Connection *connection = connectionOf(socket);
    if (!connection)
        return;
    // A reply still leaving is no idleness: the stall timer judges a peer that does not read.
    if (socket->bytesToWrite() > 0 || connection->stream || connection->owesBytes()) {
        connection->idleTimer->start();
        return;
    }
    closeConnection(socket);
}

void ConnectionManager::logProtocolError(const QString &sender, const QString &message)
{
    m_protocolErrors.log(sender, message, LogType::Warning);
}

bool ConnectionManager::isConnected(ConnectionId id) const
{
    const Connection *connection = connectionOf(id);
    return connection && connection->socket->state() == QAbstractSocket::ConnectedState;
}

bool ConnectionManager::isListening() const
{
    return m_tcpServer->isListening();
}

void ConnectionManager::closeConnection(QTcpSocket *socket)
{
    // A socket may report its end more than once (error, then disconnected).
    const auto it = m_connections.find(socket);
    if (!socket || it == m_connections.end())
        return;
    m_connectionsClosed.log(it->second->address, QStringLiteral("Disconnected %1").arg(it->second->peerText), LogType::Information);
    it->second->readTimer->stop();
    it->second->outputTimer->stop();
    it->second->idleTimer->stop();
    socket->disconnect(this);
    m_sockets.erase(it->second->id);
    const auto address = m_perAddress.find(it->second->address);
    if (address != m_perAddress.end() && --address->second < m_limits.connectionsPerAddress) {
        m_refusedAddresses.erase(address->first);
        if (address->second <= 0)
            m_perAddress.erase(address);
    }
    m_connections.erase(it);
    socket->deleteLater();
}

ConnectionManager::Connection *ConnectionManager::connectionOf(QTcpSocket *socket) const
{
    const auto it = m_connections.find(socket);
    return it == m_connections.end() ? nullptr : it->second.get();
}

ConnectionManager::Connection *ConnectionManager::connectionOf(ConnectionId id) const
{
    const auto it = m_sockets.find(id);
    return it == m_sockets.end() ? nullptr : connectionOf(it->second);
}

} // namespace NVL::Engineering::VK
