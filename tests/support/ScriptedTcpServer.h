#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QSemaphore>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class QTcpSocket;
class QThread;

// A TCP server on 127.0.0.1 that plays a script against one client, for protocol
// situations a real server will not produce. It runs on its own thread, so the code
// under test may block the test thread with socket waits meanwhile.
class ScriptedTcpServer
{
public:
    // The script's view of the accepted connection; used on the server thread only.
    class Connection
    {
    public:
        explicit Connection(QTcpSocket *socket, ScriptedTcpServer *server);

        // One line without its CR LF; false on time-out or when the peer closed.
        bool readLine(QByteArray *line, int timeoutMs = 5000);
        // Writes and waits until the bytes have left.
        bool send(const QByteArray &bytes);
        // True when nothing arrives within the given time (a bounded negative check).
        bool staysSilent(int ms);
        bool waitForDisconnected(int timeoutMs = 5000);
        // Server side of a TLS handshake on the connection (see setTlsIdentity); bytes the
        // script had received before stay unread in the socket buffer.
        bool startTls(int timeoutMs = 5000);
        void close();
        QTcpSocket *socket() const;

    private:
        QTcpSocket *m_tcpSocket;
        ScriptedTcpServer *m_server;
    };

    using Script = std::function<void(Connection &)>;

    // The script plays against each of the first `connections` clients, one after the other.
    explicit ScriptedTcpServer(Script script, int connections = 1);
    ~ScriptedTcpServer();

    ScriptedTcpServer(const ScriptedTcpServer &) = delete;
    ScriptedTcpServer &operator=(const ScriptedTcpServer &) = delete;

    // Accepted sockets become TLS-capable sockets that present this certificate once the
    // script calls Connection::startTls. Call before start().
    void setTlsIdentity(const QString &certificateFile, const QString &keyFile);

    // Listens and returns once the port is known; the script runs on each connection it takes.
    bool start();
    quint16 port() const;
    // Waits until the script has ended and the connection is closed.
    bool waitForFinished(int timeoutMs = 15000);

    // Every line the script read, without CR LF, in order.
    QList<QByteArray> receivedLines() const;

private:
    void run();
    void record(const QByteArray &line);

    Script m_script;
    int m_connections;
    QString m_certificateFile;
    QString m_keyFile;
    std::unique_ptr<QThread> m_thread;
    QSemaphore m_listening;
    // Written by the server thread before it releases `listening`; atomic because Qt's semaphore
    // synchronises in a way ThreadSanitizer cannot see.
    std::atomic<quint16> m_listeningPort{0};
    mutable QMutex m_mutex;
    QList<QByteArray> m_lines;
};
