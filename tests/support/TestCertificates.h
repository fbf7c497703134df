#pragma once

#include <QString>

// A throw-away certificate authority and a server certificate it signed for
// localhost, 127.0.0.1 and ::1, made with the openssl command in a given folder.
class TestCertificates
{
public:
    // Creates <folder>/ca.crt, ca.key, server.crt and server.key; false with errorString().
    bool create(const QString &folder);

    // <folder>/expired.crt: the server's key signed by the authority for one day that ended days ago
    // (openssl run under faketime).
    bool createExpired();

    QString caCertificateFile() const;
    QString serverCertificateFile() const;
    QString serverKeyFile() const;
    QString errorString() const;

    // Adds the CA to the default TLS configuration of this process only, so that
    // sockets created afterwards accept the server certificate.
    bool trustInThisProcess() const;

private:
    bool runOpenssl(const QStringList &arguments, const QString &program = QStringLiteral("openssl"));

    QString m_folder;
    QString m_error;
};
