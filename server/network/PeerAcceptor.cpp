#include "PeerAcceptor.h"

#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace NVL::Engineering::VK {

PeerAcceptor::PeerAcceptor(QTcpServer *server, QObject *parent)
    : QObject(parent)
    , m_server(server)
{
#ifdef Q_OS_LINUX
    // The server keeps the listening socket (dual stack, address reuse, its error texts); only the
    // accepting is ours.
    m_server->pauseAccepting();
    m_notifier = new QSocketNotifier(m_server->socketDescriptor(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &PeerAcceptor::acceptPending);
#else
    connect(m_server, &QTcpServer::newConnection, this, &PeerAcceptor::acceptPending);
    connect(m_server, &QTcpServer::acceptError, this, [this] { emit failed(m_server->errorString()); });
#endif
}

void PeerAcceptor::resume()
{
#ifdef Q_OS_LINUX
    m_notifier->setEnabled(true);
#else
    m_server->resumeAccepting();
#endif
}

#ifdef Q_OS_LINUX

void PeerAcceptor::acceptPending()
{
    for (int taken = 0; taken < TurnConnections;) {
        sockaddr_storage address {};
        socklen_t length = sizeof address;
        const int fd = ::accept4(int(m_server->socketDescriptor()), reinterpret_cast<sockaddr *>(&address), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            switch (error) {
            case EAGAIN:
#if EWOULDBLOCK != EAGAIN
            case EWOULDBLOCK:
#endif
                return;
            case EINTR:
            // A connection that failed before it was taken, or a network fault that belongs to it alone.
            case ECONNABORTED:
            case EPROTO:
            case ENETDOWN:
            case ENOPROTOOPT:
            case EHOSTDOWN:
            case ENONET:
            case EHOSTUNREACH:
            case EOPNOTSUPP:
            case ENETUNREACH:
                continue;
            default:
                // Mostly no descriptor or memory left: the listening socket stays readable, so going on
                // would spin; the owner decides when to try again.
                m_notifier->setEnabled(false);
                emit failed(qt_error_string(error));
                return;
            }
        }
        ++taken;
        auto socket = std::make_unique<QTcpSocket>();
        if (!socket->setSocketDescriptor(fd, QAbstractSocket::ConnectedState, QIODevice::ReadWrite)) {
            ::close(fd);
            continue;
        }
        socket->setParent(m_server);
        emit accepted(socket.release(), QHostAddress(reinterpret_cast<const sockaddr *>(&address)));
    }
}

#else

void PeerAcceptor::acceptPending()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection())
        emit accepted(socket, socket->peerAddress());
}

#endif

} // namespace NVL::Engineering::VK
