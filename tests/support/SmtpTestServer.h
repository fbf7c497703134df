#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A real SMTP server (smtp_server.py on Debian's aiosmtpd) on loopback for one test.
// Every accepted message lands as one file in a private folder; messages() reads them back.
class SmtpTestServer
{
public:
    enum class Tls { None, StartTls, Implicit };

    struct Options
    {
        Tls tls = Tls::None;
        quint16 port = 0;        // 0: any free port
        QString certificateFile; // PEM, needed for any TLS mode
        QString keyFile;
        QString authUser;        // non-empty: AUTH is required and checked against these
        QString authPassword;
        QStringList refusedRecipients; // answered with 550 at RCPT TO
    };

    struct Message
    {
        int session = 0;         // connection number, 1 for the first connection
        QString mailFrom;
        QStringList rcptTos;
        bool tls = false;        // the message came in over an encrypted connection
        QString login;           // authenticated user, empty without AUTH
        QByteArray data;         // raw bytes between DATA and the final dot, dots unstuffed
    };

    SmtpTestServer();
    explicit SmtpTestServer(const Options &options);
    ~SmtpTestServer();

    SmtpTestServer(const SmtpTestServer &) = delete;
    SmtpTestServer &operator=(const SmtpTestServer &) = delete;

    // Starts the server and waits for its "PORT n" line; false with errorString() otherwise.
    bool start(int timeoutMs = 15000);
    void stop();

    quint16 port() const;
    QString mailFolder() const;
    QString errorString() const;

    // All messages received so far, in order of arrival.
    QList<Message> messages() const;
    // For clients in other processes: polls (running the event loop) until at least
    // `count` messages are there.
    bool waitForMessages(int count, int timeoutMs = 10000) const;

private:
    Options m_options;
    QTemporaryDir m_folder;
    QProcess m_process;
    quint16 m_listeningPort = 0;
    QString m_error;
};
