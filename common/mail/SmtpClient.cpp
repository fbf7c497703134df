#include "SmtpClient.h"

#include "EmailAddress.h"
#include "MimeMessage.h"

#include <QDebug>
#include <QSslSocket>
#include <QTcpSocket>

#include <algorithm>
#include <atomic>

namespace NVL::Engineering::VK {

namespace {

SecurityType knownSecurity(SecurityType security)
{
    switch (security) {
    case SecurityType::ImplicitTls:
    case SecurityType::StartTls:
        return security;
    case SecurityType::PlainTcp:
        break;
    }
    return SecurityType::PlainTcp;
}

QString replyLine(const QString &reply)
{
    return reply.trimmed();
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

SmtpClient::SmtpClient(const QString &host, int port, SecurityType connectionType, QObject *parent)
    : QObject(parent)
    , m_host(host)
    , m_port(port)
    , m_connectionType(knownSecurity(connectionType))
{
    if (m_connectionType == SecurityType::PlainTcp)
        m_socket = new QTcpSocket(this);
    else
        m_socket = new QSslSocket(this);
    // Room for one reply line too many, so that an endless line shows as such instead of growing.
    m_socket->setReadBufferSize(2 * MaxReplyLineBytes);

    connect(m_socket, &QAbstractSocket::stateChanged, this, &SmtpClient::socketStateChanged);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, &SmtpClient::socketError);
    connect(m_socket, &QIODevice::readyRead, this, &SmtpClient::socketReadyRead);
}

SmtpClient::~SmtpClient() = default;

void SmtpClient::setUser(const QString &user)
{
    m_user = user;
}

void SmtpClient::setPassword(const QString &password)
{
    m_password = password;
}

void SmtpClient::setMechanism(SaslMechanism mechanism)
{
    m_mechanism = mechanism;
}

void SmtpClient::setSessionLimit(int ms)
{
    m_sessionLimitMs = std::max(ms, 1);
}

QString SmtpClient::getHost() const
{
    return m_host;
}

int SmtpClient::getPort() const
{
    return m_port;
}

SecurityType SmtpClient::getConnectionType() const
{
    return m_connectionType;
}

QString SmtpClient::getReplyText() const
{
    return m_replyText;
}

int SmtpClient::getReplyCode() const
{
    return m_replyCode;
}

SmtpFailure SmtpClient::lastFailure() const
{
    return m_failure;
}

bool SmtpClient::fail(const QString &reason)
{
    m_failure.step = m_step;
    m_failure.reason = reason;
    m_failure.replyCode = 0;
    m_failure.transient = true;
    m_failure.mayHaveBeenAccepted = m_messageEnded;
    return false;
}

bool SmtpClient::failWithReply()
{
    fail(replyLine(m_replyText));
    m_failure.replyCode = m_replyCode;
    m_failure.transient = m_replyCode >= 400 && m_replyCode <= 499;
    return false;
}

bool SmtpClient::failLocally(const QString &reason)
{
    fail(reason);
    m_failure.transient = false;
    return false;
}

namespace {
// Raised by each interruptAll(): the conversations begun before it end; later ones are not touched.
std::atomic<int> interruptions{0};
} // namespace

void SmtpClient::interruptAll()
{
    ++interruptions;
}

bool SmtpClient::waitSliced(int limitMs, const std::function<bool(int)> &wait)
{
    const QDeadlineTimer deadline(waitMs(limitMs));
    for (;;) {
        if (interruptions.load() != m_interruptionsAtStart) {
            m_interrupted = true;
            return false;
        }
        const int slice = int(std::min<qint64>(deadline.remainingTime(), InterruptSliceMs));
        if (slice <= 0)
            return false;
        if (wait(slice))
            return true;
        if (m_socket->error() != QAbstractSocket::SocketTimeoutError)
            return false;
    }
}

int SmtpClient::waitMs(int limitMs) const
{
    return int(std::clamp<qint64>(m_session.remainingTime(), 0, limitMs));
}

QString SmtpClient::socketFailure(const QString &waitedFor) const
{
    if (m_interrupted)
        return QStringLiteral("the server stopped during the conversation");
    if (m_session.hasExpired())
        return QStringLiteral("the conversation took longer than %1 ms").arg(m_sessionLimitMs);
    const QAbstractSocket::SocketError error = m_socket->error();
    if (error != QAbstractSocket::UnknownSocketError && error != QAbstractSocket::SocketTimeoutError)
        return m_socket->errorString();
    return waitedFor;
}

bool SmtpClient::sayHello()
{
    sendLine(QStringLiteral("EHLO ") + m_heloName);
    waitForReply();
    if (m_replyCode != 250) {
        emit smtpError(ServerFailure);
        return failWithReply();
    }
    return true;
}

bool SmtpClient::connectToServer()
{
    m_sessionReady = false;
    m_failure = SmtpFailure();
    m_session.setRemainingTime(m_sessionLimitMs);
    m_interruptionsAtStart = interruptions.load();
    // Implicit TLS shakes hands while connecting: a failure there is a TLS failure.
    m_step = m_connectionType == SecurityType::ImplicitTls ? SmtpFailure::Step::Tls : SmtpFailure::Step::Connect;
    if (m_connectionType == SecurityType::ImplicitTls)
        static_cast<QSslSocket *>(m_socket)->connectToHostEncrypted(m_host, static_cast<quint16>(m_port),
                                                                    QIODevice::ReadWrite,
                                                                    QAbstractSocket::AnyIPProtocol);
    else
        m_socket->connectToHost(m_host, static_cast<quint16>(m_port), QIODevice::ReadWrite,
                                QAbstractSocket::AnyIPProtocol);

    if (!m_socket->waitForConnected(waitMs(m_connectionTimeout))) {
        emit smtpError(ConnectTimeout);
        m_step = SmtpFailure::Step::Connect;
        return fail(socketFailure(QStringLiteral("no connection within %1 ms").arg(m_connectionTimeout)));
    }

    try {
        waitForReply();
        m_step = SmtpFailure::Step::Connect;
        if (m_replyCode != 220) {
            emit smtpError(ServerFailure);
            return failWithReply();
        }

        if (!sayHello())
            return false;

        if (m_connectionType == SecurityType::StartTls) {
            m_step = SmtpFailure::Step::Tls;
            sendLine(QStringLiteral("STARTTLS"));
            waitForReply();
            if (m_replyCode != 220) {
                emit smtpError(ServerFailure);
                return failWithReply();
            }

            // Anything after the 220 was sent in clear and may have been injected on the
            // way; it must not be read as a reply of the encrypted session.
            m_socket->readAll();
            auto *sslSocket = static_cast<QSslSocket *>(m_socket);
            sslSocket->startClientEncryption();
            if (!sslSocket->waitForEncrypted(waitMs(m_connectionTimeout))) {
                qDebug() << sslSocket->errorString();
                emit smtpError(ConnectTimeout);
                return fail(socketFailure(QStringLiteral("no TLS handshake within %1 ms").arg(m_connectionTimeout)));
            }

            if (!sayHello())
                return false;
        }
    } catch (const ResponseTimeoutException &) {
        return fail(m_timeoutReason);
    } catch (const SendMessageTimeoutException &) {
        return fail(m_timeoutReason);
    }
    m_sessionReady = true;
    return true;
}

bool SmtpClient::login()
{
    return login(m_user, m_password, m_mechanism);
}

bool SmtpClient::login(const QString &user, const QString &password, SaslMechanism mechanism)
{
    // After a failed connection (a refused STARTTLS above all) the credentials would go out
    // in clear or to nobody; nothing is sent.
    if (!m_sessionReady)
        return false;
    m_failure = SmtpFailure();
    m_step = SmtpFailure::Step::Login;
    try {
        if (mechanism == Plain) {
            QByteArray credentials;
            credentials.append('\0');
            credentials.append(user.toUtf8());
            credentials.append('\0');
            credentials.append(password.toUtf8());
            sendLine(QStringLiteral("AUTH PLAIN ") + QString::fromLatin1(credentials.toBase64()));
            waitForReply();
            if (m_replyCode != 235) {
                emit smtpError(LoginFailed);
                return failWithReply();
            }
        } else if (mechanism == Login) {
            sendLine(QStringLiteral("AUTH LOGIN"));
            waitForReply();
            if (m_replyCode != 334) {
                emit smtpError(LoginFailed);
                return failWithReply();
            }

            sendLine(QString::fromLatin1(user.toUtf8().toBase64()));
            waitForReply();
            if (m_replyCode != 334) {
                emit smtpError(LoginFailed);
                return failWithReply();
            }

            sendLine(QString::fromLatin1(password.toUtf8().toBase64()));
            waitForReply();
            if (m_replyCode != 235) {
                emit smtpError(LoginFailed);
                return failWithReply();
            }
        }
    } catch (const ResponseTimeoutException &) {
        emit smtpError(LoginFailed);
        return fail(m_timeoutReason);
    } catch (const SendMessageTimeoutException &) {
        emit smtpError(LoginFailed);
        return fail(m_timeoutReason);
    }
    return true;
}

bool SmtpClient::sendMail(MimeMessage &message)
{
    if (!m_sessionReady)
        return false;
    m_failure = SmtpFailure();
    m_step = SmtpFailure::Step::Sender;
    const EmailAddress *sender = message.getSender();
    if (!sender || !isSafeEnvelopeAddress(sender->getAddress()))
        return failLocally(QStringLiteral("the sender's address cannot be sent"));

    QList<EmailAddress *> recipients = message.recipients(MimeMessage::To);
    recipients += message.recipients(MimeMessage::Cc);
    recipients += message.recipients(MimeMessage::Bcc);
    m_step = SmtpFailure::Step::Recipient;
    if (recipients.isEmpty())
        return failLocally(QStringLiteral("no recipient"));
    for (const EmailAddress *recipient : std::as_const(recipients)) {
        if (!isSafeEnvelopeAddress(recipient->getAddress()))
            return failLocally(QStringLiteral("a recipient's address cannot be sent"));
    }

    try {
        m_step = SmtpFailure::Step::Sender;
        sendLine(QStringLiteral("MAIL FROM: <") + sender->getAddress() + QLatin1Char('>'));
        waitForReply();
        if (m_replyCode != 250)
            return failWithReply();

        // From here on the server holds a transaction; a refusal must clear it so
        // that the next message of this session starts afresh.
        m_step = SmtpFailure::Step::Recipient;
        for (const EmailAddress *recipient : std::as_const(recipients)) {
            sendLine(QStringLiteral("RCPT TO: <") + recipient->getAddress() + QLatin1Char('>'));
            waitForReply();
            if (m_replyCode != 250) {
                failWithReply();
                return resetTransaction();
            }
        }

        m_step = SmtpFailure::Step::Data;
        sendLine(QStringLiteral("DATA"));
        waitForReply();
        if (m_replyCode != 354) {
            failWithReply();
            return resetTransaction();
        }

        sendBytes(dotStuffed(message.toString().toUtf8()) + "\r\n");

        sendLine(QStringLiteral("."));
        m_messageEnded = true;
        waitForReply();
        m_messageEnded = false;
        if (m_replyCode != 250) {
            failWithReply();
            return resetTransaction();
        }
    } catch (const ResponseTimeoutException &) {
        return fail(m_timeoutReason);
    } catch (const SendMessageTimeoutException &) {
        return fail(m_timeoutReason);
    }
    return true;
}

void SmtpClient::quit()
{
    // Without an established session there is nobody to say goodbye to, and a refused
    // STARTTLS must not be followed by anything in clear.
    if (!m_sessionReady) {
        m_socket->abort();
        return;
    }
    m_sessionReady = false;
    try {
        sendLine(QStringLiteral("QUIT"));
    } catch (const SendMessageTimeoutException &) {
        const QAbstractSocket::SocketState state = m_socket->state();
        if (state == QAbstractSocket::HostLookupState || state == QAbstractSocket::ConnectingState
            || state == QAbstractSocket::ConnectedState)
            m_socket->disconnectFromHost();
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
    bool sent = m_socket->state() == QAbstractSocket::ConnectedState && m_socket->write(bytes) == bytes.size();
    while (sent && m_socket->bytesToWrite() > 0)
        sent = waitSliced(m_sendTimeout, [this](int ms) { return m_socket->waitForBytesWritten(ms); });
    if (!sent) {
        emit smtpError(SendTimeout);
        m_timeoutReason = socketFailure(QStringLiteral("sending took longer than %1 ms").arg(m_sendTimeout));
        throw SendMessageTimeoutException();
    }
}

void SmtpClient::waitForReply()
{
    // The whole reply, however many lines it has, within the reply time: a server that sends a
    // continuation line now and then never ends its reply.
    const QDeadlineTimer reply(m_responseTimeout);
    for (;;) {
        if (!m_socket->canReadLine() && m_socket->bytesAvailable() >= MaxReplyLineBytes) {
            emit smtpError(ReplyTimeout);
            m_timeoutReason = QStringLiteral("a reply line longer than %1 bytes").arg(MaxReplyLineBytes);
            throw ResponseTimeoutException();
        }
        const int wait = int(std::clamp<qint64>(reply.remainingTime(), 0, waitMs(m_responseTimeout)));
        if (wait == 0 || !waitSliced(wait, [this](int ms) { return m_socket->waitForReadyRead(ms); })) {
            emit smtpError(ReplyTimeout);
            m_timeoutReason = socketFailure(QStringLiteral("no complete reply within %1 ms").arg(m_responseTimeout));
            throw ResponseTimeoutException();
        }

        while (m_socket->canReadLine()) {
            m_replyText = QString::fromUtf8(m_socket->readLine());
            bool isNumber = false;
            m_replyCode = m_replyText.left(3).toInt(&isNumber);
            if (!isNumber)
                m_replyCode = 0;

            const auto code = static_cast<unsigned>(m_replyCode);
            if (code >= 400 && code <= 499)
                emit smtpError(ServerFailure);
            else if (code >= 500 && code <= 599)
                emit smtpError(CommandFailure);

            // "250 text" is final, and so is a bare "250": a code with nothing after it.
            if (m_replyText.size() >= 4 && m_replyText.at(3) == QLatin1Char(' '))
                return;
            if (isBareCode(m_replyText))
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

} // namespace NVL::Engineering::VK
