#include "PostgresServer.h"

#include "VoltkeepProcess.h"

#include <QFile>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>

#include <unistd.h>

namespace {

const QString bin = QStringLiteral("/usr/lib/postgresql/15/bin/");

} // namespace

PostgresServer::PostgresServer()
{
    // The unprivileged user must reach and write the folder; nothing else is in it.
    QFile::setPermissions(m_folder.path(), QFileDevice::Permissions(0x7777));
    m_port = VoltkeepProcess::freePort();
    if (!run(bin + QStringLiteral("initdb"), {QStringLiteral("-D"), m_folder.filePath(QStringLiteral("data")),
                                             QStringLiteral("-U"), QString::fromLatin1(User),
                                             QStringLiteral("--auth=trust"), QStringLiteral("--no-sync")}))
        m_problem = QStringLiteral("initdb failed");
}

PostgresServer::~PostgresServer()
{
    if (m_running)
        stop();
}

bool PostgresServer::run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (geteuid() == 0)
        process.start(QStringLiteral("runuser"), QStringList{QStringLiteral("-u"), QStringLiteral("nobody"),
                                                              QStringLiteral("--"), program} + arguments);
    else
        process.start(program, arguments);
    const bool ok = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
                    && process.exitCode() == 0;
    if (!ok)
        qWarning("%s: %s", qPrintable(program), process.readAll().constData());
    return ok;
}

bool PostgresServer::start(bool durable)
{
    // Without fsync a test's cluster, thrown away afterwards, costs the shared disk nothing.
    const QString options = QStringLiteral("-p %1 -c listen_addresses=127.0.0.1 -c unix_socket_directories=%2 -c fsync=%3")
                                .arg(m_port)
                                .arg(m_folder.path(), durable ? QStringLiteral("on") : QStringLiteral("off"));
    m_running = run(bin + QStringLiteral("pg_ctl"), {QStringLiteral("-D"), m_folder.filePath(QStringLiteral("data")),
                                                    QStringLiteral("-l"), m_folder.filePath(QStringLiteral("log")),
                                                    QStringLiteral("-o"), options, QStringLiteral("-w"),
                                                    QStringLiteral("start")});
    return m_running;
}

bool PostgresServer::stop()
{
    m_running = !run(bin + QStringLiteral("pg_ctl"), {QStringLiteral("-D"), m_folder.filePath(QStringLiteral("data")),
                                                     QStringLiteral("-m"), QStringLiteral("fast"), QStringLiteral("-w"),
                                                     QStringLiteral("stop")});
    return !m_running;
}

QSqlDatabase PostgresServer::connect(const QString &database, const QString &name)
{
    QSqlDatabase db = QSqlDatabase::contains(name) ? QSqlDatabase::database(name, false)
                                                   : QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
    db.setHostName(QStringLiteral("127.0.0.1"));
    db.setPort(m_port);
    db.setDatabaseName(database);
    db.setUserName(QString::fromLatin1(User));
    if (!db.isOpen() && !db.open())
        qWarning("%s", qPrintable(db.lastError().text()));
    return db;
}

bool PostgresServer::createDatabase(const QString &name)
{
    bool created = false;
    {
        QSqlDatabase db = connect(QStringLiteral("postgres"), QStringLiteral("test-admin"));
        created = QSqlQuery(db).exec(QStringLiteral("CREATE DATABASE %1").arg(name));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("test-admin"));
    return created;
}

QByteArray PostgresServer::storeSection(const QString &database) const
{
    return QStringLiteral("[store]\ndriver=postgresql\nhost=127.0.0.1\nport=%1\ndatabase=%2\nuser=%3\nsslmode=disable\n")
        .arg(m_port)
        .arg(database, QString::fromLatin1(User))
        .toUtf8();
}
