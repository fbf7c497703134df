#include "StallingSmtpServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace NVL::Engineering::VK::Bench {

StallingSmtpServer::StallingSmtpServer(int replyDelayMs)
    : m_delayMs(replyDelayMs)
{
}

StallingSmtpServer::~StallingSmtpServer()
{
    quit();
    wait();
}

bool StallingSmtpServer::startListening()
{
    start();
    m_ready.acquire();
    return m_port != 0;
}

void StallingSmtpServer::run()
{
    QTcpServer server;
    if (server.listen(QHostAddress::LocalHost, 0))
        m_port = server.serverPort();
    m_ready.release();
    if (m_port == 0)
        return;

    const int delay = m_delayMs;
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            ++m_connections;
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            if (delay < 0) {
                // Reads what comes so the client's writes succeed, and answers nothing.
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
                continue;
            }
            const auto reply = [socket, delay](const QByteArray &text, bool close = false) {
                QTimer::singleShot(delay, socket, [socket, text, close] {
                    socket->write(text + "\r\n");
                    if (close)
                        socket->disconnectFromHost();
                });
            };
            reply("220 bench ESMTP");
            auto inData = std::make_shared<bool>(false);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, reply, inData] {
                while (socket->canReadLine()) {
                    const QByteArray line = socket->readLine().trimmed();
                    if (*inData) {
                        if (line == ".") {
                            *inData = false;
                            reply("250 accepted");
                            ++m_accepted;
                        }
                        continue;
                    }
                    const QByteArray verb = line.left(4).toUpper();
                    if (verb == "EHLO")
                        reply("250 bench");
                    else if (verb == "AUTH")
                        reply("235 accepted");
                    else if (verb == "DATA") {
                        *inData = true;
                        reply("354 go ahead");
                    } else if (verb == "QUIT")
                        reply("221 bye", true);
                    else
                        reply("250 ok");
                }
            });
        }
    });
    exec();
}

} // namespace NVL::Engineering::VK::Bench
