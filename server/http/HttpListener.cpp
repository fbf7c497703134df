#include "HttpListener.h"

#include "HttpConnectionGuard.h"
#include "Log.h"

#include <QTcpSocket>

#include <memory>

namespace NVL::Engineering::VK {

HttpListener::HttpListener(const HttpLimits &limits, QObject *parent)
    : QTcpServer(parent)
    , m_limits(limits)
{
}

void HttpListener::incomingConnection(qintptr descriptor)
{
    auto socket = std::make_unique<QTcpSocket>();
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
    QTcpSocket *accepted = socket.release();
    new HttpConnectionGuard(accepted, m_limits, &m_streamer);
    // Counted out when the HTTP server lets the socket go (it deletes it once disconnected).
    connect(accepted, &QObject::destroyed, this, [this, address] { closed(address); });
    addPendingConnection(accepted);
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
