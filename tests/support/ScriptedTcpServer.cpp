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
    : tcpSocket(socket), server(server)
{
}

bool ScriptedTcpServer::Connection::readLine(QByteArray *line, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!tcpSocket->canReadLine()) {
        if (deadline.hasExpired()
            || !tcpSocket->waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            return false;
    }
    QByteArray read = tcpSocket->readLine();
    if (read.endsWith('\n'))
        read.chop(1);
    if (read.endsWith('\r'))
        read.chop(1);
    server->record(read);
    *line = read;
    return true;
}

bool ScriptedTcpServer::Connection::send(const QByteArray &bytes)
{
    if (tcpSocket->write(bytes) != bytes.size())
        return false;
    while (tcpSocket->bytesToWrite() > 0) {
        if (!tcpSocket->waitForBytesWritten(5000))
            return false;
    }
    return true;
}

bool ScriptedTcpServer::Connection::staysSilent(int ms)
{
    return tcpSocket->bytesAvailable() == 0 && !tcpSocket->waitForReadyRead(ms);
}

bool ScriptedTcpServer::Connection::waitForDisconnected(int timeoutMs)
{
    if (tcpSocket->state() == QAbstractSocket::UnconnectedState)
        return true;
    // Reading drains whatever the client still sends, so the close is noticed.
    QDeadlineTimer deadline(timeoutMs);
    while (tcpSocket->state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired()) {
        if (tcpSocket->waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            tcpSocket->readAll();
    }
    return tcpSocket->state() == QAbstractSocket::UnconnectedState;
}

bool ScriptedTcpServer::Connection::startTls(int timeoutMs)
{
    auto *ssl = qobject_cast<QSslSocket *>(tcpSocket);
    if (!ssl)
        return false;
    QFile certificate(server->certificateFile);
    QFile key(server->keyFile);
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
    tcpSocket->abort();
}

QTcpSocket *ScriptedTcpServer::Connection::socket() const
{
    return tcpSocket;
}

ScriptedTcpServer::ScriptedTcpServer(Script script)
    : script(std::move(script))
{
}

ScriptedTcpServer::~ScriptedTcpServer()
{
    if (thread) {
        thread->wait();
    }
}

void ScriptedTcpServer::setTlsIdentity(const QString &certificateFile, const QString &keyFile)
{
    this->certificateFile = certificateFile;
    this->keyFile = keyFile;
}

bool ScriptedTcpServer::start()
{
    thread.reset(QThread::create([this] { run(); }));
    thread->start();
    listening.acquire();
    return listeningPort != 0;
}

quint16 ScriptedTcpServer::port() const
{
    return listeningPort;
}

bool ScriptedTcpServer::waitForFinished(int timeoutMs)
{
    return !thread || thread->wait(QDeadlineTimer(timeoutMs));
}

QList<QByteArray> ScriptedTcpServer::receivedLines() const
{
    QMutexLocker locker(&mutex);
    return lines;
}

void ScriptedTcpServer::run()
{
    SslCapableServer sslServer;
    QTcpServer plainServer;
    QTcpServer &server = certificateFile.isEmpty() ? plainServer : sslServer;
    if (server.listen(QHostAddress::LocalHost, 0))
        listeningPort = server.serverPort();
    listening.release();
    if (listeningPort == 0)
        return;

    // A test that never connects must not hang here for long.
    if (!server.waitForNewConnection(15000))
        return;
    std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
    socket->setParent(nullptr);
    server.close();

    Connection connection(socket.get(), this);
    script(connection);

    if (socket->state() != QAbstractSocket::UnconnectedState) {
        socket->disconnectFromHost();
        if (socket->state() != QAbstractSocket::UnconnectedState)
            socket->waitForDisconnected(2000);
    }
}

void ScriptedTcpServer::record(const QByteArray &line)
{
    QMutexLocker locker(&mutex);
    lines << line;
}
