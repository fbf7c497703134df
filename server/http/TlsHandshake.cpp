#include "TlsHandshake.h"

#include <QSslSocket>

namespace NVL::Engineering::VK {

TlsHandshake::TlsHandshake(QSslSocket *socket, const QSslConfiguration &configuration, int timeoutMs)
    : QObject(socket)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this,
            [this, timeoutMs] { finish(false, QStringLiteral("not done within %1 ms").arg(timeoutMs)); });
    connect(socket, &QSslSocket::encrypted, this, [this] { finish(true, QString()); });
    connect(socket, &QSslSocket::errorOccurred, this, [this, socket] { finish(false, socket->errorString()); });
    socket->setSslConfiguration(configuration);
    m_deadline.start(timeoutMs);
    // Started once the owner has connected to the signals: a failure may be reported at once.
    QMetaObject::invokeMethod(socket, &QSslSocket::startServerEncryption, Qt::QueuedConnection);
}

void TlsHandshake::finish(bool ok, const QString &why)
{
    m_deadline.stop();
    disconnect(parent(), nullptr, this, nullptr);
    deleteLater();
    if (ok)
        Q_EMIT succeeded();
    else
        Q_EMIT failed(why);
}

} // namespace NVL::Engineering::VK
