#pragma once

#include <QAbstractSocket>
#include <QObject>
#include <QString>

class MimeMessage;
class QTcpSocket;

// Delivers composed messages over one SMTP conversation. Every step blocks the
// calling thread with bounded socket waits: connect, login, send, quit in a row.
class SmtpClient : public QObject
{
    Q_OBJECT

public:
    // Same numbers as the configuration's security setting.
    enum ConnectionType : int {
        PlainTcp = 0,
        ImplicitTls = 1,
        StartTls = 2
    };
    Q_ENUM(ConnectionType)

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

    // Thrown inside the dialogue only; no public operation lets them out.
    class ResponseTimeoutException {};
    class SendMessageTimeoutException {};

    explicit SmtpClient(const QString &host = QStringLiteral("localhost"), int port = 25,
                        ConnectionType connectionType = PlainTcp, QObject *parent = nullptr);
    // For a security number taken straight from the configuration; unknown numbers mean PlainTcp.
    SmtpClient(const QString &host, int port, int connectionType, QObject *parent = nullptr);
    ~SmtpClient() override;

    void setUser(const QString &user);
    void setPassword(const QString &password);
    void setMechanism(SaslMechanism mechanism);

    QString getHost() const;
    int getPort() const;
    ConnectionType getConnectionType() const;
    QString getReplyText() const;
    int getReplyCode() const;

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

    QTcpSocket *socket;
    QString host;
    int port;
    ConnectionType connectionType;
    QString heloName = QStringLiteral("localhost");
    QString user;
    QString password;
    SaslMechanism mechanism = Plain;
    int connectionTimeout = 5000;
    int responseTimeout = 5000;
    int sendTimeout = 60000;
    QString replyText;
    int replyCode = 0;
    // Set by a successful connectToServer only; login and sendMail refuse to run without it.
    bool sessionReady = false;
};
