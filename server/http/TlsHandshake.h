#pragma once

#include <QObject>
#include <QSslConfiguration>
#include <QTimer>

class QSslSocket;

namespace NVL::Engineering::VK {

// The server side of one connection's TLS handshake, bounded in time. Owned by its socket; reports once
// and then goes, so that errors after it are the HTTP server's, as on a plain connection.
class TlsHandshake : public QObject
{
    Q_OBJECT

public:
    TlsHandshake(QSslSocket *socket, const QSslConfiguration &configuration, int timeoutMs);

Q_SIGNALS:
    void succeeded();
    void failed(const QString &why);

private:
    void finish(bool ok, const QString &why);

    QTimer m_deadline;
};

} // namespace NVL::Engineering::VK
