#include "PostgresTarget.h"

#include <QFile>
#include <QFileInfo>

namespace NVL::Engineering::VK {

bool PostgresTarget::readPassword(QString &password, QString &errorText) const
{
    password.clear();
    if (passwordFile.isEmpty())
        return true;
    const QFileInfo info(passwordFile);
    if (!info.exists()) {
        errorText = QStringLiteral("store/passwordFile %1 does not exist").arg(passwordFile);
        return false;
    }
    const QFile::Permissions open = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
                                    | QFile::WriteOther | QFile::ExeOther;
    if (info.permissions() & open) {
        errorText = QStringLiteral("store/passwordFile %1 is open to group or others; make it readable by the service "
                                   "alone (chmod 600)")
                        .arg(passwordFile);
        return false;
    }
    QFile file(passwordFile);
    if (!file.open(QIODevice::ReadOnly)) {
        errorText = QStringLiteral("store/passwordFile %1 cannot be read: %2").arg(passwordFile, file.errorString());
        return false;
    }
    password = QString::fromUtf8(file.readLine()).trimmed();
    return true;
}

bool PostgresTarget::addConnection(const QString &connectionName, QString &errorText) const
{
    QString password;
    if (!readPassword(password, errorText))
        return false;
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        errorText = QStringLiteral("Qt's PostgreSQL driver (QPSQL, package libqt6sql6-psql) is not installed");
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    db.setHostName(host);
    db.setPort(port);
    db.setDatabaseName(database);
    db.setUserName(user);
    db.setPassword(password);
    // Keepalives: a connection whose far end went silent fails within seconds instead of holding a query
    // for the system's TCP timeouts. The server's notices ("relation ... already exists") would go to
    // standard error, past the log: only warnings and errors come back, and the store reports those.
    db.setConnectOptions(QStringLiteral("sslmode=%1;connect_timeout=%2;application_name=Voltkeep;keepalives=1;"
                                        "keepalives_idle=5;keepalives_interval=2;keepalives_count=2;"
                                        "options='-c client_min_messages=warning'")
                             .arg(sslmode)
                             .arg(connectTimeoutSeconds));
    return true;
}

QString PostgresTarget::describe() const
{
    return QStringLiteral("%1:%2/%3").arg(host).arg(port).arg(database);
}

} // namespace NVL::Engineering::VK
