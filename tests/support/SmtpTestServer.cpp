#include "SmtpTestServer.h"

#include "TestPaths.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

SmtpTestServer::SmtpTestServer()
    : SmtpTestServer(Options())
{
}

SmtpTestServer::SmtpTestServer(const Options &options)
    : m_options(options)
{
}

SmtpTestServer::~SmtpTestServer()
{
    stop();
}

bool SmtpTestServer::start(int timeoutMs)
{
    if (!m_folder.isValid()) {
        m_error = QStringLiteral("no temporary folder: ") + m_folder.errorString();
        return false;
    }

    QStringList arguments{QDir(TestPaths::supportDir()).filePath(QStringLiteral("smtp_server.py")),
                          QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                          QStringLiteral("--port"), QString::number(m_options.port),
                          QStringLiteral("--maildir"), m_folder.path()};
    if (m_options.tls != Tls::None) {
        arguments << QStringLiteral("--tls")
                  << (m_options.tls == Tls::Implicit ? QStringLiteral("implicit")
                                                   : QStringLiteral("starttls"))
                  << QStringLiteral("--cert") << m_options.certificateFile
                  << QStringLiteral("--key") << m_options.keyFile;
    }
    if (!m_options.authUser.isEmpty()) {
        arguments << QStringLiteral("--auth-user") << m_options.authUser
                  << QStringLiteral("--auth-password") << m_options.authPassword;
    }
    for (const QString &refused : m_options.refusedRecipients)
        arguments << QStringLiteral("--refuse") << refused;

    // Standard input stays a pipe: the server ends by itself when this process goes away.
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.start(TestPaths::python(), arguments);
    if (!m_process.waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("cannot start the SMTP server: ") + m_process.errorString();
        return false;
    }

    QDeadlineTimer deadline(timeoutMs);
    while (!m_process.canReadLine()) {
        if (m_process.state() != QProcess::Running || deadline.hasExpired()
            || !m_process.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
            if (m_process.canReadLine())
                break;
            m_error = QStringLiteral("SMTP server did not report its port: ")
                + QString::fromLocal8Bit(m_process.readAllStandardError());
            stop();
            return false;
        }
    }

    const QByteArray line = m_process.readLine().trimmed();
    bool ok = false;
    if (line.startsWith("PORT "))
        m_listeningPort = static_cast<quint16>(line.mid(5).toUInt(&ok));
    if (!ok || m_listeningPort == 0) {
        m_error = QStringLiteral("unexpected line from the SMTP server: ") + QString::fromLatin1(line);
        stop();
        return false;
    }
    return true;
}

void SmtpTestServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.closeWriteChannel();
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

quint16 SmtpTestServer::port() const
{
    return m_listeningPort;
}

QString SmtpTestServer::mailFolder() const
{
    return m_folder.path();
}

QString SmtpTestServer::errorString() const
{
    return m_error;
}

QList<SmtpTestServer::Message> SmtpTestServer::messages() const
{
    QList<Message> result;
    const QDir dir(m_folder.path());
    const QStringList files =
        dir.entryList({QStringLiteral("msg-*.json")}, QDir::Files, QDir::Name);
    for (const QString &name : files) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
        Message message;
        message.session = object.value(QStringLiteral("session")).toInt();
        message.mailFrom = object.value(QStringLiteral("mail_from")).toString();
        for (const QJsonValue &to : object.value(QStringLiteral("rcpt_tos")).toArray())
            message.rcptTos << to.toString();
        message.tls = object.value(QStringLiteral("tls")).toBool();
        message.login = object.value(QStringLiteral("login")).toString();
        message.data = QByteArray::fromBase64(
            object.value(QStringLiteral("data")).toString().toLatin1());
        result << message;
    }
    return result;
}

bool SmtpTestServer::waitForMessages(int count, int timeoutMs) const
{
    const QDir dir(m_folder.path());
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (dir.entryList({QStringLiteral("msg-*.json")}, QDir::Files).size() >= count)
            return true;
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
}
