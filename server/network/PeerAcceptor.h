#pragma once

#include <QHostAddress>
#include <QObject>

class QSocketNotifier;
class QTcpServer;
class QTcpSocket;

namespace NVL::Engineering::VK {

// Takes the connections of a listening TCP server, each with its peer's address as the accept itself
// gave it. A peer that reset its connection while it still waited in the kernel's queue is no longer
// known to the accepted socket, and its reports would be stored as coming from nowhere.
// Where that is not possible (off Linux), the server's own accepting is used.
class PeerAcceptor : public QObject
{
    Q_OBJECT

public:
    // Connections taken in one turn of the event loop; the others wait for the next.
    static constexpr int TurnConnections = 5;

    // The server must be listening; its accepted sockets are its children, as with its own accepting.
    // Delete it before the server closes: its notifier watches the server's descriptor.
    explicit PeerAcceptor(QTcpServer *server, QObject *parent = nullptr);

    // After `failed` nothing is accepted until this is called.
    void resume();

Q_SIGNALS:
    void accepted(QTcpSocket *socket, const QHostAddress &peer);
    void failed(const QString &reason);

private:
    void acceptPending();

    QTcpServer *m_server;
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace NVL::Engineering::VK
