#pragma once

#include "HttpLimits.h"
#include "HttpConnection.h"

#include <QHash>
#include <QHostAddress>
#include <QSslConfiguration>
#include <QTcpServer>

#include <optional>

namespace NVL::Engineering::VK {

// The HTTP side's listening socket: a connection past the total or per-address bound is closed at once,
// with one Warning per episode (until the count is back under the bound); every other gets a guard of
// its HttpConnection, which answers through the handler. With TLS, a connection is answered only once its
// handshake is done, which must be within the head's time; failed handshakes are logged once until one
// succeeds.
class HttpListener : public QTcpServer
{
    Q_OBJECT

public:
    HttpListener(const HttpLimits &limits, QObject *parent = nullptr);

    int openConnections() const { return m_open; }
    // What answers every request; it must outlive the listener's connections.
    void setHandler(const HttpHandler *handler) { m_handler = handler; }
    void setTls(const QSslConfiguration &configuration) { m_tls = configuration; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void handshake(QTcpSocket *socket);
    void accept(QTcpSocket *socket);
    void closed(const QHostAddress &address);

    HttpLimits m_limits;
    const HttpHandler *m_handler = nullptr;
    std::optional<QSslConfiguration> m_tls;
    bool m_handshakeEpisode = false;
    int m_open = 0;
    QHash<QHostAddress, int> m_byAddress;
    bool m_totalEpisode = false;
    QHash<QHostAddress, bool> m_addressEpisodes;
};

} // namespace NVL::Engineering::VK
