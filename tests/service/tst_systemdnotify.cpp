// The real server started as systemd starts a notify service: its messages arrive on a datagram
// socket of the test's own named by NOTIFY_SOCKET, and SIGTERM or SIGINT stop it.
#include "FreePort.h"
#include "RadioPeer.h"
#include "TestPaths.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace NVL::Engineering::VK;

namespace {

// The systemd end of sd_notify: a bound datagram socket that keeps every message with its time.
class NotifySocket
{
public:
    struct Message
    {
        QByteArray text;
        qint64 atMs;
    };

    explicit NotifySocket(const QString &path)
        : m_path(path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        const QByteArray bytes = QFile::encodeName(path);
        if (m_fd < 0 || size_t(bytes.size()) >= sizeof address.sun_path)
            return;
        std::copy(bytes.begin(), bytes.end(), address.sun_path);
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
        m_clock.start();
    }
    ~NotifySocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    bool isValid() const { return m_fd >= 0; }
    QList<Message> messages() const { return m_messages; }
    int count(const QByteArray &text) const
    {
        return int(std::count_if(m_messages.begin(), m_messages.end(), [&text](const Message &m) { return m.text == text; }));
    }

    // Reads until a message starts with prefix (counting those already read) or the time is up.
    bool waitFor(const QByteArray &prefix, int timeoutMs, int occurrences = 1)
    {
        const QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            const int seen = int(std::count_if(m_messages.begin(), m_messages.end(),
                                               [&prefix](const Message &m) { return m.text.startsWith(prefix); }));
            if (seen >= occurrences)
                return true;
            if (deadline.hasExpired())
                return false;
            pollfd readable = {m_fd, POLLIN, 0};
            if (::poll(&readable, 1, int(qMin<qint64>(deadline.remainingTime(), 100))) > 0)
                readOne();
        }
    }

    // Takes whatever arrived by now.
    void drain()
    {
        pollfd readable = {m_fd, POLLIN, 0};
        while (::poll(&readable, 1, 0) > 0)
            readOne();
    }

private:
    void readOne()
    {
        char buffer[4096];
        const ssize_t size = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (size >= 0)
            m_messages.append({QByteArray(buffer, int(size)), m_clock.elapsed()});
    }

    QString m_path;
    int m_fd = -1;
    QElapsedTimer m_clock;
    QList<Message> m_messages;
};

} // namespace

class TestSystemdNotify : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void readyAfterTheListenerAndStopOnSignal_data();
    void readyAfterTheListenerAndStopOnSignal();
    void watchdogAtHalfTheInterval();
    void failedStartFailsTheUnit_data();
    void failedStartFailsTheUnit();
    void noEchoWhereStandardErrorIsTheJournal();

private:
    QString dataFolder() const { return m_folder->path() + QStringLiteral("/common/Norvale/Voltkeep"); }
    void startServer(const QMap<QString, QString> &extra = {});
    bool stopServer(int signalNumber);
    QString serverLog();
    bool waitForLog(const QString &text, int timeoutMs = 10000);

    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<NotifySocket> m_notify;
    std::unique_ptr<QProcess> m_server;
    quint16 m_port = 0;
    QString m_log;
};

void TestSystemdNotify::init()
{
    m_folder = std::make_unique<QTemporaryDir>();
    QVERIFY(m_folder->isValid());
    m_notify = std::make_unique<NotifySocket>(m_folder->path() + QStringLiteral("/notify"));
    QVERIFY(m_notify->isValid());
    m_port = freeRadioPort();
    QVERIFY(m_port != 0);
    QVERIFY(QDir().mkpath(dataFolder()));
    QFile settings(dataFolder() + QStringLiteral("/vk.cfg"));
    QVERIFY(settings.open(QIODevice::WriteOnly));
    // No HTTP API: servers of tests running side by side would compete for its one default port.
    settings.write("[General]\nport=" + QByteArray::number(m_port) + "\n[http]\nlisten=\n");
    m_log.clear();
}

void TestSystemdNotify::cleanup()
{
    if (m_server && m_server->state() != QProcess::NotRunning) {
        m_server->kill();
        m_server->waitForFinished(5000);
    }
    m_server.reset();
    m_notify.reset();
    m_folder.reset();
}

void TestSystemdNotify::startServer(const QMap<QString, QString> &extra)
{
    m_server = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"WATCHDOG_USEC", "WATCHDOG_PID", "JOURNAL_STREAM"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("NOTIFY_SOCKET"), m_folder->path() + QStringLiteral("/notify"));
    env.insert(QStringLiteral("NORVALE_COMMON_APPDATA"), m_folder->path() + QStringLiteral("/common"));
    // Nothing of this run may reach a real system bus.
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("unix:path=") + m_folder->path() + QStringLiteral("/no_bus"));
    for (auto it = extra.begin(); it != extra.end(); ++it)
        env.insert(it.key(), it.value());
    m_server->setProcessEnvironment(env);
    m_server->start(TestPaths::voltkeepBinary(), QStringList());
    QVERIFY(m_server->waitForStarted(10000));
}

bool TestSystemdNotify::stopServer(int signalNumber)
{
    ::kill(pid_t(m_server->processId()), signalNumber);
    return m_server->waitForFinished(15000) && m_server->exitStatus() == QProcess::NormalExit;
}

QString TestSystemdNotify::serverLog()
{
    m_log += QString::fromUtf8(m_server->readAllStandardError());
    return m_log;
}

bool TestSystemdNotify::waitForLog(const QString &text, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!serverLog().contains(text)) {
        if (deadline.hasExpired() || m_server->state() == QProcess::NotRunning)
            return serverLog().contains(text);
        m_server->waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 100)));
    }
    return true;
}

void TestSystemdNotify::readyAfterTheListenerAndStopOnSignal_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestSystemdNotify::readyAfterTheListenerAndStopOnSignal()
{
    QFETCH(int, signalNumber);
    startServer();
    QVERIFY(m_notify->waitFor("READY=1", 20000));
    // Ready means serving: the listener answers at once.
    RadioPeer peer(QStringLiteral("127.0.0.1"), m_port);
    QVERIFY2(peer.connectToServer(), qPrintable(peer.errorString()));
    QCOMPARE(peer.version(), std::optional<quint8>(1));
    peer.disconnectFromServer();

    const QByteArray banner = "Accepting connections on port: " + QByteArray::number(m_port) + " (TCP + UDP)";
    QCOMPARE(m_notify->messages().first().text, "READY=1\nSTATUS=" + banner);
    QVERIFY(waitForLog(QLatin1String("Success: Voltkeep 1.30.5.22\n") + QString::fromLatin1(banner)));

    QVERIFY(stopServer(signalNumber));
    QCOMPARE(m_server->exitCode(), 0);
    m_notify->drain();
    // Without WATCHDOG_USEC there is no watchdog signal; a stop is announced once.
    QStringList texts;
    for (const NotifySocket::Message &message : m_notify->messages())
        texts << QString::fromUtf8(message.text);
    QCOMPARE(texts, (QStringList{QStringLiteral("READY=1\nSTATUS=") + QString::fromLatin1(banner), QStringLiteral("STOPPING=1")}));
    QVERIFY2(serverLog().endsWith(QLatin1String("Success: Voltkeep Stopped\n")), qPrintable(serverLog()));
    QCOMPARE(serverLog().count(QLatin1String("Voltkeep Stopped")), 1);

    // The listener is gone with the process.
    RadioPeer late(QStringLiteral("127.0.0.1"), m_port, 1000);
    QVERIFY(!late.connectToServer());
}

void TestSystemdNotify::watchdogAtHalfTheInterval()
{
    startServer({{QStringLiteral("WATCHDOG_USEC"), QStringLiteral("1000000")}});
    QVERIFY(m_notify->waitFor("READY=1", 20000));
    QVERIFY(m_notify->waitFor("WATCHDOG=1", 15000, 8));
    QList<qint64> gaps;
    qint64 previous = -1;
    for (const NotifySocket::Message &message : m_notify->messages()) {
        if (message.text != "WATCHDOG=1")
            continue;
        if (previous >= 0)
            gaps << message.atMs - previous;
        previous = message.atMs;
    }
    QCOMPARE(gaps.size(), 7);
    // systemd restarts the service when one second passes without a signal.
    for (const qint64 gap : gaps)
        QVERIFY2(gap < 1000, qPrintable(QString::number(gap)));
    std::sort(gaps.begin(), gaps.end());
    const qint64 median = gaps.at(gaps.size() / 2);
    QVERIFY2(median >= 400 && median <= 650, qPrintable(QString::number(median)));

    QVERIFY(stopServer(SIGTERM));
    QCOMPARE(m_server->exitCode(), 0);
    m_notify->drain();
    QCOMPARE(m_notify->count("STOPPING=1"), 1);
}

void TestSystemdNotify::failedStartFailsTheUnit_data()
{
    QTest::addColumn<bool>("portTaken");
    QTest::addColumn<QByteArray>("status");
    QTest::newRow("database cannot be opened") << false << QByteArray("STATUS=Failed to open database");
    QTest::newRow("port taken") << true
                                << QByteArray("STATUS=Voltkeep Failed to listen for connections: The bound address "
                                              "is already in use");
}

void TestSystemdNotify::failedStartFailsTheUnit()
{
    QFETCH(bool, portTaken);
    QFETCH(QByteArray, status);
    QTcpServer holder;
    if (portTaken)
        QVERIFY(holder.listen(QHostAddress::LocalHost, m_port));
    else // a folder where the database file belongs cannot be opened as a database
        QVERIFY(QDir().mkpath(dataFolder() + QStringLiteral("/vk.db")));
    startServer();
    // systemd sees the reason and a failure status, never READY=1: Restart=on-failure applies.
    QVERIFY(m_notify->waitFor("STATUS=", 20000));
    QVERIFY(m_server->waitForFinished(15000));
    QCOMPARE(m_server->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_server->exitCode(), 1);
    m_notify->drain();
    QCOMPARE(m_notify->messages().size(), 1);
    QCOMPARE(m_notify->messages().first().text, status);
    QVERIFY2(serverLog().endsWith(QLatin1String("Error: Voltkeep could not start and ends (exit status 1)\n")),
             qPrintable(serverLog()));
}

void TestSystemdNotify::noEchoWhereStandardErrorIsTheJournal()
{
    // systemd names the stream it connected standard error to; the entries already go to the
    // journal through syslog then, and must not come twice.
    const QString errorFile = m_folder->path() + QStringLiteral("/stderr");
    for (const bool journal : {false, true}) {
        QFile::remove(errorFile);
        QFile create(errorFile);
        QVERIFY(create.open(QIODevice::WriteOnly));
        create.close();
        struct stat info = {};
        QCOMPARE(::stat(QFile::encodeName(errorFile).constData(), &info), 0);
        const QString stream = journal ? QStringLiteral("%1:%2").arg(qulonglong(info.st_dev)).arg(qulonglong(info.st_ino))
                                       : QStringLiteral("%1:%2").arg(qulonglong(info.st_dev)).arg(qulonglong(info.st_ino) + 1);
        m_notify = std::make_unique<NotifySocket>(m_folder->path() + QStringLiteral("/notify-%1").arg(journal));
        m_server = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("WATCHDOG_USEC"));
        env.insert(QStringLiteral("NOTIFY_SOCKET"), m_folder->path() + QStringLiteral("/notify-%1").arg(journal));
        env.insert(QStringLiteral("NORVALE_COMMON_APPDATA"), m_folder->path() + QStringLiteral("/common"));
        env.insert(QStringLiteral("JOURNAL_STREAM"), stream);
        m_server->setProcessEnvironment(env);
        m_server->setStandardErrorFile(errorFile);
        m_server->start(TestPaths::voltkeepBinary(), QStringList());
        QVERIFY(m_notify->waitFor("READY=1", 20000));
        QVERIFY(stopServer(SIGTERM));
        QCOMPARE(m_server->exitCode(), 0);
        QFile written(errorFile);
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QByteArray text = written.readAll();
        if (journal)
            QCOMPARE(text, QByteArray());
        else
            QVERIFY2(text.contains("Success: Voltkeep Stopped\n"), text.constData());
    }
}

QTEST_GUILESS_MAIN(TestSystemdNotify)
#include "tst_systemdnotify.moc"
