#include "HttpListener.h"

#include "TlsHandshake.h"
#include "Log.h"

#include <QSslSocket>

#include <memory>

namespace NVL::Engineering::VK {

HttpListener::HttpListener(const HttpLimits &limits, QObject *parent)
    : QTcpServer(parent)
    , m_limits(limits)
{
}

void HttpListener::incomingConnection(qintptr descriptor)
{
    auto socket = m_tls ? std::make_unique<QSslSocket>() : std::make_unique<QTcpSocket>();
    if (!socket->setSocketDescriptor(descriptor))
        return;
    const QHostAddress address = socket->peerAddress();
    const bool overTotal = m_open >= m_limits.connections;
    const bool overAddress = m_byAddress.value(address) >= m_limits.perAddress;
    if (overTotal || overAddress) {
        bool &episode = overTotal ? m_totalEpisode : m_addressEpisodes[address];
        if (!episode) {
            episode = true;
            Log::write(overTotal ? QStringLiteral("HTTP connections refused: %1 are open, the most the "
                                                             "dashboard and API may hold ([http] connections)")
                                                  .arg(m_open)
                                            : QStringLiteral("HTTP connections from %1 refused: %2 are open, the most "
                                                             "one address may hold ([http] perAddress)")
                                                  .arg(address.toString())
                                                  .arg(m_limits.perAddress),
                                  LogType::Warning);
        }
        socket->abort();
        return;
    }
    ++m_open;
    ++m_byAddress[address];
    socket->setParent(this);
    QTcpSocket *taken = socket.release();
    // Counted out when its connection is done with it (it is deleted once disconnected), or when its
    // handshake fails.
    connect(taken, &QObject::destroyed, this, [this, address] { closed(address); });
    if (m_tls)
        handshake(taken);
    else
        accept(taken);
}

void HttpListener::handshake(QTcpSocket *socket)
{
    auto *ssl = static_cast<QSslSocket *>(socket);
    auto *handshake = new TlsHandshake(ssl, *m_tls, m_limits.headSeconds * 1000);
    connect(handshake, &TlsHandshake::succeeded, this, [this, ssl] {
        m_handshakeEpisode = false;
        accept(ssl);
    });
    connect(handshake, &TlsHandshake::failed, this, [this, ssl](const QString &why) {
        if (!m_handshakeEpisode) {
            m_handshakeEpisode = true;
            Log::warning(QStringLiteral("HTTPS handshake with %1 failed: %2 (further failures are not logged "
                                        "until a handshake succeeds)")
                             .arg(ssl->peerAddress().toString(), why));
        }
        ssl->abort();
        ssl->deleteLater();
    });
}

void HttpListener::accept(QTcpSocket *socket)
{
    new HttpConnection(socket, m_limits, m_handler);
}

void HttpListener::closed(const QHostAddress &address)
{
    --m_open;
    if (--m_byAddress[address] <= 0) {
        m_byAddress.remove(address);
        m_addressEpisodes.remove(address);
    }
    if (m_open < m_limits.connections)
        m_totalEpisode = false;
}

} // namespace NVL::Engineering::VK
