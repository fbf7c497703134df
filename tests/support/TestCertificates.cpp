#include "TestCertificates.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>

bool TestCertificates::create(const QString &folder)
{
    m_folder = folder;
    const QDir dir(folder);
    const QString extensions = dir.filePath(QStringLiteral("server.ext"));
    {
        QFile file(extensions);
        if (!file.open(QIODevice::WriteOnly)) {
            m_error = file.errorString();
            return false;
        }
        file.write("basicConstraints=CA:FALSE\n"
                   "keyUsage=critical,digitalSignature,keyEncipherment\n"
                   "extendedKeyUsage=serverAuth\n"
                   "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\n");
    }

    // EC keys keep generation quick, even under the sanitizers' slower process start.
    const QStringList ecKey{QStringLiteral("-newkey"), QStringLiteral("ec"),
                            QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
                            QStringLiteral("-nodes")};
    return runOpenssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ecKey
                      + QStringList{QStringLiteral("-keyout"), dir.filePath(QStringLiteral("ca.key")),
                                    QStringLiteral("-out"), dir.filePath(QStringLiteral("ca.crt")),
                                    QStringLiteral("-days"), QStringLiteral("2"),
                                    QStringLiteral("-subj"), QStringLiteral("/CN=Voltkeep Test CA"),
                                    QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:TRUE"),
                                    QStringLiteral("-addext"), QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")})
        && runOpenssl(QStringList{QStringLiteral("req")} + ecKey
                      + QStringList{QStringLiteral("-keyout"), dir.filePath(QStringLiteral("server.key")),
                                    QStringLiteral("-out"), dir.filePath(QStringLiteral("server.csr")),
                                    QStringLiteral("-subj"), QStringLiteral("/CN=localhost")})
        && runOpenssl({QStringLiteral("x509"), QStringLiteral("-req"),
                       QStringLiteral("-in"), dir.filePath(QStringLiteral("server.csr")),
                       QStringLiteral("-CA"), dir.filePath(QStringLiteral("ca.crt")),
                       QStringLiteral("-CAkey"), dir.filePath(QStringLiteral("ca.key")),
                       QStringLiteral("-set_serial"), QStringLiteral("2"),
                       QStringLiteral("-days"), QStringLiteral("2"),
                       QStringLiteral("-extfile"), extensions,
                       QStringLiteral("-out"), dir.filePath(QStringLiteral("server.crt"))});
}

bool TestCertificates::createExpired()
{
    const QDir dir(m_folder);
    return runOpenssl({QStringLiteral("-f"), QStringLiteral("-5d"), QStringLiteral("openssl"), QStringLiteral("x509"),
                       QStringLiteral("-req"), QStringLiteral("-in"), dir.filePath(QStringLiteral("server.csr")),
                       QStringLiteral("-CA"), dir.filePath(QStringLiteral("ca.crt")),
                       QStringLiteral("-CAkey"), dir.filePath(QStringLiteral("ca.key")),
                       QStringLiteral("-set_serial"), QStringLiteral("3"), QStringLiteral("-days"), QStringLiteral("1"),
                       QStringLiteral("-extfile"), dir.filePath(QStringLiteral("server.ext")),
                       QStringLiteral("-out"), dir.filePath(QStringLiteral("expired.crt"))},
                      QStringLiteral("faketime"));
}

QString TestCertificates::caCertificateFile() const
{
    return QDir(m_folder).filePath(QStringLiteral("ca.crt"));
}

QString TestCertificates::serverCertificateFile() const
{
    return QDir(m_folder).filePath(QStringLiteral("server.crt"));
}

QString TestCertificates::serverKeyFile() const
{
    return QDir(m_folder).filePath(QStringLiteral("server.key"));
}

QString TestCertificates::errorString() const
{
    return m_error;
}

bool TestCertificates::trustInThisProcess() const
{
    const QList<QSslCertificate> ca = QSslCertificate::fromPath(caCertificateFile());
    if (ca.isEmpty())
        return false;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(ca);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}

bool TestCertificates::runOpenssl(const QStringList &arguments, const QString &program)
{
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(program, arguments);
    if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit
        || openssl.exitCode() != 0) {
        m_error = QStringLiteral("openssl %1 failed: %2 %3")
                    .arg(arguments.value(0), openssl.errorString(),
                         QString::fromLocal8Bit(openssl.readAll()));
        return false;
    }
    return true;
}
