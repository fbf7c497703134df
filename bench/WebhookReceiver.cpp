#include "WebhookReceiver.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

namespace NVL::Engineering::VK::Bench {

namespace {

// Whole requests in `buffer` (head and Content-Length body), taken off the front; how many.
int takeRequests(QByteArray &buffer)
{
    int taken = 0;
    for (;;) {
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return taken;
        const QByteArray head = buffer.left(headEnd).toLower();
        const qsizetype at = head.indexOf("content-length:");
        const qint64 length = at < 0 ? 0 : head.mid(at + 15, head.indexOf('\r', at) - at - 15).trimmed().toLongLong();
        if (buffer.size() < headEnd + 4 + length)
            return taken;
        buffer.remove(0, headEnd + 4 + length);
        ++taken;
    }
}

} // namespace

WebhookReceiver::WebhookReceiver()
{
    m_server = new QTcpServer;
    m_server->listen(QHostAddress::LocalHost, 0);
    m_port = m_server->serverPort();
    m_server->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_server, &QObject::deleteLater);
    QObject::connect(m_server, &QTcpServer::newConnection, m_server, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            // Freed with the socket, however it ends: the connection owns the lambda that holds it.
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                buffer->append(socket->readAll());
                for (int n = takeRequests(*buffer); n > 0; --n) {
                    socket->write("HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n");
                    m_received.fetch_add(1);
                }
                QElapsedTimer now;
                now.start();
                m_last.store(now.msecsSinceReference());
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    m_thread.start();
}

void WebhookReceiver::waitUntilQuiet(int quietMs, const QDeadlineTimer &deadline) const
{
    qint64 seen = -1;
    while (seen != received() && !deadline.hasExpired()) {
        seen = received();
        QThread::msleep(quint32(quietMs));
    }
}

WebhookReceiver::~WebhookReceiver()
{
    m_thread.quit();
    m_thread.wait();
}

} // namespace NVL::Engineering::VK::Bench
