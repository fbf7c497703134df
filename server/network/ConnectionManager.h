#pragma once

#include "ConnectionLimits.h"
#include "LogThrottle.h"
#include "RadioSink.h"
#include "ReplyStream.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QUdpSocket>

#include <map>
#include <set>
#include <memory>

class QHostAddress;
class QTcpServer;
class QTcpSocket;
class QTimer;

namespace NVL::Engineering::VK {

class PeerAcceptor;

// The radio port: a TCP server for requests and replies and a UDP socket for battery reports.
// Reads and checks every message and hands it to the sink, all on the event-loop thread and without
// ever waiting there: each connection keeps the bytes of an unfinished message and a timer for the
// pause after its last arrival, and gets a bounded turn before the others get theirs.
class ConnectionManager : public QObject
{
    Q_OBJECT

public:
    // Messages of one connection, and datagrams, handled in one turn before the loop moves on.
    static constexpr int TurnMessages = 64;
    static constexpr int TurnDatagrams = 4096;
    // Silence in the middle of a message that ends it.
    static constexpr int ReadWaitMs = 500;
    // The UDP receive buffer asked of the kernel, so a burst waits there while reports are committed.
    static constexpr int UdpReceiveBufferBytes = 8 * 1024 * 1024;
    // Replies not yet taken by a peer above which its further requests wait, so that a peer that asks
    // and never reads cannot make the server hold its replies without bound.
    static constexpr qint64 OutputBoundBytes = 1024 * 1024;
    // A peer whose replies stay above the bound without any of them leaving for this long is closed.
    static constexpr int OutputStallMs = 5000;
    // Part of a streamed reply handed to the socket at once; another follows when less than it waits.
    static constexpr qint64 StreamPartBytes = 256 * 1024;
    // How long accepting pauses when the process has no descriptor left for a new connection.
    static constexpr int AcceptPauseMs = 1000;

    // The sink is not owned and must outlive the manager.
    ConnectionManager(RadioSink *sink, quint32 port, const ConnectionLimits &limits = ConnectionLimits());
    ~ConnectionManager() override;

    // Why the port could not be taken for TCP or UDP (logged already); empty when both listen.
    QString listenFailure() const { return m_listenFailure; }

    // Replies to a connection that has gone are dropped: that is no failure of ours.
    void sendVersion(ConnectionId connection);
    void sendReply(ConnectionId connection, const QByteArray &bytes);
    // The connection's further requests wait until the whole stream has gone; a peer that takes none of
    // it for the stall time is closed, as for a reply.
    void sendStream(ConnectionId connection, std::unique_ptr<ReplyStream> stream);
    bool isConnected(ConnectionId connection) const;
    // Whether the TCP port listens and the UDP socket is bound (the health check asks).
    bool isListening() const;
    bool isBound() const { return m_udpSocket.state() == QAbstractSocket::BoundState; }

private Q_SLOTS:
    void connectionInitiated(QTcpSocket *socket, const QHostAddress &peer);
    void connectionClosed();
    void socketError(QAbstractSocket::SocketError error);
    void dataAvailable();
    void radioMessageReceived();
    void acceptFailed(const QString &reason);

private:
    struct Connection;
    enum class Turn { Bounded, Final };

    Connection *connectionOf(QTcpSocket *socket) const;
    Connection *connectionOf(ConnectionId id) const;
    void closeConnection(QTcpSocket *socket);
    QTcpSocket *senderSocket() const;
    void handleTurn(Connection &connection, Turn turn);
    void scheduleTurn(Connection &connection);
    void dispatch(Connection &connection, const char *message);
    void readTimedOut(QTcpSocket *socket);
    // The peer is gone or the manager ends: the messages already received are still handled.
    void finishConnection(QTcpSocket *socket, bool peerGone);
    void requestReceiveBuffer();
    // True when the peer's unsent replies are above the bound; then waits for them to leave.
    bool outputBlocked(Connection &connection);
    void outputDrained(QTcpSocket *socket);
    // Hands the socket the stream's next parts while less than one part waits in it.
    void feedStream(Connection &connection);
    // Closes the connections holding the most unsent bytes until `adding` more fit under the bound.
    void boundUnsentBytes(qint64 adding, const Connection *sending);
    void idleTimedOut(QTcpSocket *socket);
    void logProtocolError(const QString &sender, const QString &message);

    RadioSink *m_sink;
    const ConnectionLimits m_limits;
    QTcpServer *m_tcpServer;
    std::unique_ptr<PeerAcceptor> m_acceptor; // only while listening
    QUdpSocket m_udpSocket;
    bool m_acceptTroubleLogged = false;
    bool m_unsentTroubleLogged = false;
    std::map<QString, int> m_perAddress;  // open connections by peer address
    std::set<QString> m_refusedAddresses; // over their share since it was last logged
    LogThrottle m_protocolErrors;
    // A peer that connects and goes again and again is told a few times a minute, the rest counted.
    LogThrottle m_connectionsOpened;
    LogThrottle m_connectionsClosed;
    QString m_listenFailure;
    std::map<QTcpSocket *, std::unique_ptr<Connection>> m_connections;
    std::map<ConnectionId, QTcpSocket *> m_sockets;
    ConnectionId m_lastId = 0;
};

} // namespace NVL::Engineering::VK
