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
    : options(options)
{
}

SmtpTestServer::~SmtpTestServer()
{
    stop();
}

bool SmtpTestServer::start(int timeoutMs)
{
    if (!folder.isValid()) {
        error = QStringLiteral("no temporary folder: ") + folder.errorString();
        return false;
    }

    QStringList arguments{QDir(TestPaths::supportDir()).filePath(QStringLiteral("smtp_server.py")),
                          QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                          QStringLiteral("--port"), QStringLiteral("0"),
                          QStringLiteral("--maildir"), folder.path()};
    if (options.tls != Tls::None) {
        arguments << QStringLiteral("--tls")
                  << (options.tls == Tls::Implicit ? QStringLiteral("implicit")
                                                   : QStringLiteral("starttls"))
                  << QStringLiteral("--cert") << options.certificateFile
                  << QStringLiteral("--key") << options.keyFile;
    }
    if (!options.authUser.isEmpty()) {
        arguments << QStringLiteral("--auth-user") << options.authUser
                  << QStringLiteral("--auth-password") << options.authPassword;
    }
    for (const QString &refused : options.refusedRecipients)
        arguments << QStringLiteral("--refuse") << refused;

    // Standard input stays a pipe: the server ends by itself when this process goes away.
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(TestPaths::python(), arguments);
    if (!process.waitForStarted(timeoutMs)) {
        error = QStringLiteral("cannot start the SMTP server: ") + process.errorString();
        return false;
    }

    QDeadlineTimer deadline(timeoutMs);
    while (!process.canReadLine()) {
        if (process.state() != QProcess::Running || deadline.hasExpired()
            || !process.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
            if (process.canReadLine())
                break;
            error = QStringLiteral("SMTP server did not report its port: ")
                + QString::fromLocal8Bit(process.readAllStandardError());
            stop();
            return false;
        }
    }

    const QByteArray line = process.readLine().trimmed();
    bool ok = false;
    if (line.startsWith("PORT "))
        listeningPort = static_cast<quint16>(line.mid(5).toUInt(&ok));
    if (!ok || listeningPort == 0) {
        error = QStringLiteral("unexpected line from the SMTP server: ") + QString::fromLatin1(line);
        stop();
        return false;
    }
    return true;
}

void SmtpTestServer::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.closeWriteChannel();
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

quint16 SmtpTestServer::port() const
{
    return listeningPort;
}

QString SmtpTestServer::mailFolder() const
{
    return folder.path();
}

QString SmtpTestServer::errorString() const
{
    return error;
}

QList<SmtpTestServer::Message> SmtpTestServer::messages() const
{
    QList<Message> result;
    const QDir dir(folder.path());
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
    const QDir dir(folder.path());
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (dir.entryList({QStringLiteral("msg-*.json")}, QDir::Files).size() >= count)
            return true;
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
}
