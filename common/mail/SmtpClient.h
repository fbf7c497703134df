#pragma once

#include <functional>

#include "SmtpFailure.h"

#include <ConfigurationEnums.h>

#include <QAbstractSocket>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>

class QTcpSocket;

namespace NVL::Engineering::VK {

class MimeMessage;

// Delivers composed messages over one SMTP conversation. Every step blocks the
// calling thread with bounded socket waits: connect, login, send, quit in a row.
class SmtpClient : public QObject
{
    Q_OBJECT

public:
    enum SaslMechanism : int {
        Plain = 0,
        Login = 1
    };
    Q_ENUM(SaslMechanism)

    enum SmtpError : int {
        ConnectTimeout = 0,
        ReplyTimeout = 1,
        SendTimeout = 2,
        LoginFailed = 3,
        ServerFailure = 4,
        CommandFailure = 5
    };
    Q_ENUM(SmtpError)

    // A whole conversation, from connectToServer to the last reply, ends within this; a server that
    // trickles replies or takes data slowly cannot hold the caller for longer.
    static constexpr int SessionLimitMs = 60000;
    // Longer reply lines than this (the standard allows 512 bytes) end the conversation: a server
    // that never ends its line cannot make the client hold its bytes without bound.
    static constexpr int MaxReplyLineBytes = 4096;
    // Every conversation of the process under way, on any thread, ends within a slice of this once
    // interruptAll() is called: a stopping server must not wait for a silent mail server's time-outs.
    static constexpr int InterruptSliceMs = 100;
    static void interruptAll();

    // Thrown inside the dialogue only; no public operation lets them out.
    class ResponseTimeoutException {};
    class SendMessageTimeoutException {};

    // A security value that names no type (a hand-edited file) means PlainTcp.
    explicit SmtpClient(const QString &host = QStringLiteral("localhost"), int port = 25,
                        SecurityType connectionType = SecurityType::PlainTcp, QObject *parent = nullptr);
    ~SmtpClient() override;

    void setUser(const QString &user);
    void setPassword(const QString &password);
    void setMechanism(SaslMechanism mechanism);
    // The whole conversation's limit instead of SessionLimitMs; takes effect at the next connectToServer.
    void setSessionLimit(int ms);

    QString getHost() const;
    int getPort() const;
    SecurityType getConnectionType() const;
    QString getReplyText() const;
    int getReplyCode() const;
    // Why the last connectToServer, login or sendMail returned false; step None after a success.
    SmtpFailure lastFailure() const;

    bool connectToServer();
    // Both return false at once, sending nothing, unless connectToServer succeeded.
    bool login();
    bool login(const QString &user, const QString &password, SaslMechanism mechanism = Plain);
    bool sendMail(MimeMessage &message);
    // Sends QUIT after a successful connectToServer; otherwise only closes the connection.
    void quit();

signals:
    void smtpError(SmtpClient::SmtpError error);

protected slots:
    void socketStateChanged(QAbstractSocket::SocketState state);
    void socketError(QAbstractSocket::SocketError error);
    void socketReadyRead();

private:
    void sendLine(const QString &text);
    void sendBytes(const QByteArray &bytes);
    void waitForReply();
    // EHLO and its 250; throws the time-out exceptions like the steps it is made of.
    bool sayHello();
    bool resetTransaction();
    // Record why the step in progress failed and return false: the network (no connection, a
    // time-out), the server's reply, or the client's own refusal of the message.
    bool fail(const QString &reason);
    bool failWithReply();
    bool failLocally(const QString &reason);
    // The socket's own error where it has one, otherwise what we waited for in vain.
    QString socketFailure(const QString &waitedFor) const;
    // The time a wait of at most `limitMs` may take before the session's own limit; 0 when it is up.
    int waitMs(int limitMs) const;
    // Waits through `wait` in short slices, so that an interrupted process ends the conversation within
    // one; false on time-out, on a socket error, or once interrupted.
    bool waitSliced(int limitMs, const std::function<bool(int)> &wait);

    QTcpSocket *m_socket;
    QString m_host;
    int m_port;
    SecurityType m_connectionType;
    QString m_heloName = QStringLiteral("localhost");
    QString m_user;
    QString m_password;
    SaslMechanism m_mechanism = Plain;
    int m_connectionTimeout = 5000;
    int m_responseTimeout = 5000;
    int m_sendTimeout = 60000;
    QString m_replyText;
    int m_replyCode = 0;
    // Set by a successful connectToServer only; login and sendMail refuse to run without it.
    bool m_sessionReady = false;
    SmtpFailure::Step m_step = SmtpFailure::Step::None; // the step in progress
    SmtpFailure m_failure;
    QString m_timeoutReason; // set where a time-out exception is thrown
    int m_sessionLimitMs = SessionLimitMs;
    QDeadlineTimer m_session{QDeadlineTimer::Forever}; // set by connectToServer
    bool m_interrupted = false;
    int m_interruptionsAtStart = 0;
    bool m_messageEnded = false; // the final dot is out, its reply not yet in
};

} // namespace NVL::Engineering::VK
