#pragma once

#include <QAbstractSocket>
#include <QObject>
#include <QUdpSocket>

#include <set>

class QTcpServer;
class QTcpSocket;

namespace NVL::Engineering::VK {

class Voltkeep;

// The radio port: a TCP server for requests and replies and a UDP socket for battery reports.
// Reads and checks every message and hands it to the server; everything runs on the event-loop thread.
class ConnectionManager : public QObject
{
    Q_OBJECT

public:
    ConnectionManager(Voltkeep *server, quint32 port);
    ~ConnectionManager() override;

    // Reads exactly count bytes, waiting up to 500 ms for each further arrival (blocks the event loop).
    bool readBytes(QTcpSocket *socket, char *buffer, quint16 count);
    void sendVersion(QTcpSocket *socket);
    void closeConnection(QTcpSocket *socket);

private Q_SLOTS:
    void connectionInitiated();
    void connectionClosed();
    void socketError(QAbstractSocket::SocketError error);
    void dataAvailable();
    void radioMessageReceived();

private:
    bool isOpenConnection(QTcpSocket *socket) const;

    Voltkeep *m_server;
    QTcpServer *m_tcpServer;
    QUdpSocket m_udpSocket;
    std::set<QTcpSocket *> m_connections;
};

} // namespace NVL::Engineering::VK
