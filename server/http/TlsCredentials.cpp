#include "TlsCredentials.h"

#include <QDateTime>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>

namespace NVL::Engineering::VK {

namespace {

std::optional<QByteArray> readFile(const QString &name, const QString &key, QString &error)
{
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("[http] %1=%2 cannot be read: %3").arg(key, name, file.errorString());
        return std::nullopt;
    }
    return file.readAll();
}

QSslKey privateKey(const QByteArray &pem)
{
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        QSslKey key(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            return key;
    }
    return QSslKey();
}

} // namespace

std::optional<QSslConfiguration> TlsCredentials::load(const TlsSettings &settings, QString &error, QString &warning)
{
    if (settings.certificateFile.isEmpty() || settings.keyFile.isEmpty()) {
        error = QStringLiteral("TLS needs both [http] certificate and key in vk.cfg");
        return std::nullopt;
    }
    // The key is the server's identity: one every user of the machine may read is refused, as the
    // database's password file is.
    if (QFile::exists(settings.keyFile) && (QFile::permissions(settings.keyFile) & QFile::ReadOther)) {
        error = QStringLiteral("[http] key=%1 can be read by every user of the machine: make it readable by the service "
                               "alone (chmod 600, or 640 with a group of its own)")
                    .arg(settings.keyFile);
        return std::nullopt;
    }
    const auto certificatePem = readFile(settings.certificateFile, QStringLiteral("certificate"), error);
    const auto keyPem = certificatePem ? readFile(settings.keyFile, QStringLiteral("key"), error) : std::nullopt;
    if (!keyPem)
        return std::nullopt;
    const QList<QSslCertificate> chain = QSslCertificate::fromData(*certificatePem, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        error = QStringLiteral("[http] certificate=%1 holds no PEM certificate").arg(settings.certificateFile);
        return std::nullopt;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime expiry = chain.first().expiryDate();
    if (expiry <= now) {
        error = QStringLiteral("[http] certificate=%1 expired on %2: browsers refuse it; install a renewed one")
                    .arg(settings.certificateFile, expiry.toString(Qt::ISODate));
        return std::nullopt;
    }
    if (now.daysTo(expiry) <= ExpiryWarningDays)
        warning = QStringLiteral("HTTP: [http] certificate=%1 expires on %2, in %3 day(s): renew it before then")
                      .arg(settings.certificateFile, expiry.toString(Qt::ISODate))
                      .arg(now.daysTo(expiry));
    const QSslKey key = privateKey(*keyPem);
    if (key.isNull()) {
        error = QStringLiteral("[http] key=%1 holds no unencrypted PEM private key").arg(settings.keyFile);
        return std::nullopt;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone); // clients prove themselves with the token
    const QString refused = contextError(configuration);
    if (!refused.isEmpty()) {
        error = QStringLiteral("[http] key=%1 does not belong to certificate=%2 (%3)")
                    .arg(settings.keyFile, settings.certificateFile, refused);
        return std::nullopt;
    }
    return configuration;
}

QString TlsCredentials::contextError(const QSslConfiguration &configuration)
{
    // Qt checks the pair only when a socket starts TLS, and a socket must be connected for that: one of
    // our own on loopback, whose handshake never begins since nothing is sent on it.
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0) && !probe.listen(QHostAddress::LocalHostIPv6, 0))
        return QString();
    QSslSocket socket;
    socket.setSslConfiguration(configuration);
    socket.connectToHost(probe.serverAddress(), probe.serverPort());
    if (!socket.waitForConnected(2000))
        return QString();
    QString error;
    QObject::connect(&socket, &QSslSocket::errorOccurred, &socket, [&socket, &error](QAbstractSocket::SocketError) {
        if (error.isEmpty())
            error = socket.errorString();
    });
    socket.startServerEncryption();
    socket.abort();
    return error;
}

} // namespace NVL::Engineering::VK
