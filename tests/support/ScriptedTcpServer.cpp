#include "ScriptedTcpServer.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QFile>
#include <QMutexLocker>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

// Hands out TLS-capable sockets, still unencrypted, for scripts that speak STARTTLS.
class SslCapableServer : public QTcpServer
{
protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        if (socket->setSocketDescriptor(descriptor))
            addPendingConnection(socket);
        else
            delete socket;
    }
};

} // namespace

ScriptedTcpServer::Connection::Connection(QTcpSocket *socket, ScriptedTcpServer *server)
    : m_tcpSocket(socket), m_server(server)
{
}

bool ScriptedTcpServer::Connection::readLine(QByteArray *line, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!m_tcpSocket->canReadLine()) {
        if (deadline.hasExpired()
            || !m_tcpSocket->waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            return false;
    }
    QByteArray read = m_tcpSocket->readLine();
    if (read.endsWith('\n'))
        read.chop(1);
    if (read.endsWith('\r'))
        read.chop(1);
    m_server->record(read);
    *line = read;
    return true;
}

bool ScriptedTcpServer::Connection::send(const QByteArray &bytes)
{
    if (m_tcpSocket->write(bytes) != bytes.size())
        return false;
    while (m_tcpSocket->bytesToWrite() > 0) {
        if (!m_tcpSocket->waitForBytesWritten(5000))
            return false;
    }
    return true;
}

bool ScriptedTcpServer::Connection::staysSilent(int ms)
{
    return m_tcpSocket->bytesAvailable() == 0 && !m_tcpSocket->waitForReadyRead(ms);
}

bool ScriptedTcpServer::Connection::waitForDisconnected(int timeoutMs)
{
    if (m_tcpSocket->state() == QAbstractSocket::UnconnectedState)
        return true;
    // Reading drains whatever the client still sends, so the close is noticed.
    QDeadlineTimer deadline(timeoutMs);
    while (m_tcpSocket->state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired()) {
        if (m_tcpSocket->waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            m_tcpSocket->readAll();
    }
    return m_tcpSocket->state() == QAbstractSocket::UnconnectedState;
}

bool ScriptedTcpServer::Connection::startTls(int timeoutMs)
{
    auto *ssl = qobject_cast<QSslSocket *>(m_tcpSocket);
    if (!ssl)
        return false;
    QFile certificate(m_server->m_certificateFile);
    QFile key(m_server->m_keyFile);
    if (!certificate.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly))
        return false;
    ssl->setLocalCertificate(QSslCertificate(certificate.readAll(), QSsl::Pem));
    ssl->setPrivateKey(QSslKey(key.readAll(), QSsl::Ec, QSsl::Pem));
    ssl->setPeerVerifyMode(QSslSocket::VerifyNone); // the client presents no certificate
    ssl->startServerEncryption();
    return ssl->waitForEncrypted(timeoutMs);
}

void ScriptedTcpServer::Connection::close()
{
    m_tcpSocket->abort();
}

QTcpSocket *ScriptedTcpServer::Connection::socket() const
{
    return m_tcpSocket;
}

ScriptedTcpServer::ScriptedTcpServer(Script script, int connections)
    : m_script(std::move(script))
    , m_connections(connections)
{
}

ScriptedTcpServer::~ScriptedTcpServer()
{
    if (m_thread) {
        m_thread->wait();
    }
}

void ScriptedTcpServer::setTlsIdentity(const QString &certificateFile, const QString &keyFile)
{
    m_certificateFile = certificateFile;
    m_keyFile = keyFile;
}

bool ScriptedTcpServer::start()
{
    m_thread.reset(QThread::create([this] { run(); }));
    m_thread->start();
    m_listening.acquire();
    return m_listeningPort != 0;
}

quint16 ScriptedTcpServer::port() const
{
    return m_listeningPort;
}

bool ScriptedTcpServer::waitForFinished(int timeoutMs)
{
    return !m_thread || m_thread->wait(QDeadlineTimer(timeoutMs));
}

QList<QByteArray> ScriptedTcpServer::receivedLines() const
{
    QMutexLocker locker(&m_mutex);
    return m_lines;
}

void ScriptedTcpServer::run()
{
    SslCapableServer sslServer;
    QTcpServer plainServer;
    QTcpServer &server = m_certificateFile.isEmpty() ? plainServer : sslServer;
    if (server.listen(QHostAddress::LocalHost, 0))
        m_listeningPort = server.serverPort();
    m_listening.release();
    if (m_listeningPort == 0)
        return;

    for (int i = 0; i < m_connections; ++i) {
        // A test that never connects must not hang here for long.
        if (!server.waitForNewConnection(15000))
            return;
        std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
        socket->setParent(nullptr);
        if (i + 1 == m_connections)
            server.close();

        Connection connection(socket.get(), this);
        m_script(connection);

        if (socket->state() != QAbstractSocket::UnconnectedState) {
            socket->disconnectFromHost();
            if (socket->state() != QAbstractSocket::UnconnectedState)
                socket->waitForDisconnected(2000);
        }
    }
}

void ScriptedTcpServer::record(const QByteArray &line)
{
    QMutexLocker locker(&m_mutex);
    m_lines << line;
}
