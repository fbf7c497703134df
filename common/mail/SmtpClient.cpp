#include "SmtpClient.h"

#include "EmailAddress.h"
#include "MimeMessage.h"

#include <QDebug>
#include <QSslSocket>
#include <QTcpSocket>

namespace {

SmtpClient::ConnectionType connectionTypeFromNumber(int number)
{
    switch (number) {
    case SmtpClient::ImplicitTls:
        return SmtpClient::ImplicitTls;
    case SmtpClient::StartTls:
        return SmtpClient::StartTls;
    default:
        return SmtpClient::PlainTcp;
    }
}

// CR or LF would end the command early and let the rest run as a command of its own;
// an angle bracket would close the address and smuggle in parameters.
bool isSafeEnvelopeAddress(const QString &address)
{
    for (const QChar c : address) {
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QLatin1Char('<')
            || c == QLatin1Char('>'))
            return false;
    }
    return true;
}

// Lines of the data that start with "." get a second one, so that no line of the
// message reads as the end-of-data mark. Bare LF counts as a line end as well, since
// some servers treat it as one.
QByteArray dotStuffed(const QByteArray &data)
{
    QByteArray out;
    out.reserve(data.size() + data.size() / 64 + 1);
    bool lineStart = true;
    for (const char c : data) {
        if (lineStart && c == '.')
            out.append('.');
        out.append(c);
        lineStart = (c == '\n');
    }
    return out;
}

// Three digits and the line end, nothing else.
bool isBareCode(const QString &line)
{
    QString text = line;
    while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    if (text.size() != 3)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

} // namespace

SmtpClient::SmtpClient(const QString &host, int port, ConnectionType connectionType,
                       QObject *parent)
    : QObject(parent), host(host), port(port), connectionType(connectionType)
{
    if (connectionType == PlainTcp)
        socket = new QTcpSocket(this);
    else
        socket = new QSslSocket(this);

    connect(socket, &QAbstractSocket::stateChanged, this, &SmtpClient::socketStateChanged);
    connect(socket, &QAbstractSocket::errorOccurred, this, &SmtpClient::socketError);
    connect(socket, &QIODevice::readyRead, this, &SmtpClient::socketReadyRead);
}

SmtpClient::SmtpClient(const QString &host, int port, int connectionType, QObject *parent)
    : SmtpClient(host, port, connectionTypeFromNumber(connectionType), parent)
{
}

SmtpClient::~SmtpClient() = default;

void SmtpClient::setUser(const QString &user)
{
    this->user = user;
}

void SmtpClient::setPassword(const QString &password)
{
    this->password = password;
}

void SmtpClient::setMechanism(SaslMechanism mechanism)
{
    this->mechanism = mechanism;
}

QString SmtpClient::getHost() const
{
    return host;
}

int SmtpClient::getPort() const
{
    return port;
}

SmtpClient::ConnectionType SmtpClient::getConnectionType() const
{
    return connectionType;
}

QString SmtpClient::getReplyText() const
{
    return replyText;
}

int SmtpClient::getReplyCode() const
{
    return replyCode;
}

bool SmtpClient::sayHello()
{
    sendLine(QStringLiteral("EHLO ") + heloName);
    waitForReply();
    if (replyCode != 250) {
        emit smtpError(ServerFailure);
        return false;
    }
    return true;
}

bool SmtpClient::connectToServer()
{
    sessionReady = false;
    if (connectionType == ImplicitTls)
        static_cast<QSslSocket *>(socket)->connectToHostEncrypted(host, static_cast<quint16>(port),
                                                                  QIODevice::ReadWrite,
                                                                  QAbstractSocket::AnyIPProtocol);
    else
        socket->connectToHost(host, static_cast<quint16>(port), QIODevice::ReadWrite,
                              QAbstractSocket::AnyIPProtocol);

    if (!socket->waitForConnected(connectionTimeout)) {
        emit smtpError(ConnectTimeout);
        return false;
    }

    try {
        waitForReply();
        if (replyCode != 220) {
            emit smtpError(ServerFailure);
            return false;
        }

        if (!sayHello())
            return false;

        if (connectionType == StartTls) {
            sendLine(QStringLiteral("STARTTLS"));
            waitForReply();
            if (replyCode != 220) {
                emit smtpError(ServerFailure);
                return false;
            }

            // Anything after the 220 was sent in clear and may have been injected on the
            // way; it must not be read as a reply of the encrypted session.
            socket->readAll();
            auto *sslSocket = static_cast<QSslSocket *>(socket);
            sslSocket->startClientEncryption();
            if (!sslSocket->waitForEncrypted(connectionTimeout)) {
                qDebug() << sslSocket->errorString();
                emit smtpError(ConnectTimeout);
                return false;
            }

            if (!sayHello())
                return false;
        }
    } catch (const ResponseTimeoutException &) {
        return false;
    } catch (const SendMessageTimeoutException &) {
        return false;
    }
    sessionReady = true;
    return true;
}

bool SmtpClient::login()
{
    return login(user, password, mechanism);
}

bool SmtpClient::login(const QString &user, const QString &password, SaslMechanism mechanism)
{
    // After a failed connection (a refused STARTTLS above all) the credentials would go out
    // in clear or to nobody; nothing is sent.
    if (!sessionReady)
        return false;
    try {
        if (mechanism == Plain) {
            QByteArray credentials;
            credentials.append('\0');
            credentials.append(user.toUtf8());
            credentials.append('\0');
            credentials.append(password.toUtf8());
            sendLine(QStringLiteral("AUTH PLAIN ") + QString::fromLatin1(credentials.toBase64()));
            waitForReply();
            if (replyCode != 235) {
                emit smtpError(LoginFailed);
                return false;
            }
        } else if (mechanism == Login) {
            sendLine(QStringLiteral("AUTH LOGIN"));
            waitForReply();
            if (replyCode != 334) {
                emit smtpError(LoginFailed);
                return false;
            }

            sendLine(QString::fromLatin1(user.toUtf8().toBase64()));
            waitForReply();
            if (replyCode != 334) {
                emit smtpError(LoginFailed);
                return false;
            }

            sendLine(QString::fromLatin1(password.toUtf8().toBase64()));
            waitForReply();
            if (replyCode != 235) {
                emit smtpError(LoginFailed);
                return false;
            }
        }
    } catch (const ResponseTimeoutException &) {
        emit smtpError(LoginFailed);
        return false;
    } catch (const SendMessageTimeoutException &) {
        emit smtpError(LoginFailed);
        return false;
    }
    return true;
}

bool SmtpClient::sendMail(MimeMessage &message)
{
    if (!sessionReady)
        return false;
    const EmailAddress *sender = message.getSender();
    if (!sender || !isSafeEnvelopeAddress(sender->getAddress()))
        return false;

    QList<EmailAddress *> recipients = message.recipients(MimeMessage::To);
    recipients += message.recipients(MimeMessage::Cc);
    recipients += message.recipients(MimeMessage::Bcc);
    if (recipients.isEmpty())
        return false;
    for (const EmailAddress *recipient : std::as_const(recipients)) {
        if (!isSafeEnvelopeAddress(recipient->getAddress()))
            return false;
    }

    try {
        sendLine(QStringLiteral("MAIL FROM: <") + sender->getAddress() + QLatin1Char('>'));
        waitForReply();
        if (replyCode != 250)
            return false;

        // From here on the server holds a transaction; a refusal must clear it so
        // that the next message of this session starts afresh.
        for (const EmailAddress *recipient : std::as_const(recipients)) {
            sendLine(QStringLiteral("RCPT TO: <") + recipient->getAddress() + QLatin1Char('>'));
            waitForReply();
            if (replyCode != 250)
                return resetTransaction();
        }

        sendLine(QStringLiteral("DATA"));
        waitForReply();
        if (replyCode != 354)
            return resetTransaction();

        sendBytes(dotStuffed(message.toString().toUtf8()) + "\r\n");

        sendLine(QStringLiteral("."));
        waitForReply();
        if (replyCode != 250)
            return resetTransaction();
    } catch (const ResponseTimeoutException &) {
        return false;
    } catch (const SendMessageTimeoutException &) {
        return false;
    }
    return true;
}

void SmtpClient::quit()
{
    // Without an established session there is nobody to say goodbye to, and a refused
    // STARTTLS must not be followed by anything in clear.
    if (!sessionReady) {
        socket->abort();
        return;
    }
    sessionReady = false;
    try {
        sendLine(QStringLiteral("QUIT"));
    } catch (const SendMessageTimeoutException &) {
        const QAbstractSocket::SocketState state = socket->state();
        if (state == QAbstractSocket::HostLookupState || state == QAbstractSocket::ConnectingState
            || state == QAbstractSocket::ConnectedState)
            socket->disconnectFromHost();
    }
}

void SmtpClient::socketStateChanged(QAbstractSocket::SocketState)
{
}

void SmtpClient::socketError(QAbstractSocket::SocketError)
{
}

void SmtpClient::socketReadyRead()
{
}

void SmtpClient::sendLine(const QString &text)
{
    sendBytes(text.toUtf8() + "\r\n");
}

void SmtpClient::sendBytes(const QByteArray &bytes)
{
    // A socket that is no longer connected cannot take the data; that counts as a
    // failed send like a write that never leaves.
    bool sent = socket->state() == QAbstractSocket::ConnectedState && socket->write(bytes) == bytes.size();
    while (sent && socket->bytesToWrite() > 0)
        sent = socket->waitForBytesWritten(sendTimeout);
    if (!sent) {
        emit smtpError(SendTimeout);
        throw SendMessageTimeoutException();
    }
}

void SmtpClient::waitForReply()
{
    for (;;) {
        if (!socket->waitForReadyRead(responseTimeout)) {
            emit smtpError(ReplyTimeout);
            throw ResponseTimeoutException();
        }

        while (socket->canReadLine()) {
            replyText = QString::fromUtf8(socket->readLine());
            bool isNumber = false;
            replyCode = replyText.left(3).toInt(&isNumber);
            if (!isNumber)
                replyCode = 0;

            const auto code = static_cast<unsigned>(replyCode);
            if (code >= 400 && code <= 499)
                emit smtpError(ServerFailure);
            else if (code >= 500 && code <= 599)
                emit smtpError(CommandFailure);

            // "250 text" is final, and so is a bare "250": a code with nothing after it.
            if (replyText.size() >= 4 && replyText.at(3) == QLatin1Char(' '))
                return;
            if (isBareCode(replyText))
                return;
        }
    }
}

bool SmtpClient::resetTransaction()
{
    try {
        sendLine(QStringLiteral("RSET"));
        waitForReply();
    } catch (const ResponseTimeoutException &) {
    } catch (const SendMessageTimeoutException &) {
    }
    return false;
}
