#pragma once

#include <QSqlDatabase>
#include <QString>

namespace NVL::Engineering::VK {

// Where a PostgreSQL database is and how to sign in to it, and the connections made from that.
struct PostgresTarget
{
    QString host;
    quint16 port = 5432;
    QString database;
    QString user;
    QString passwordFile; // empty: no password
    QString sslmode = QStringLiteral("prefer");
    int connectTimeoutSeconds = 3;

    // The password from its file; false with the reason when the file is missing, unreadable, or
    // readable by anyone but its owner (a password others can read is refused, not used).
    bool readPassword(QString &password, QString &errorText) const;
    // A connection registered under this name (not yet opened); false with the reason when the
    // password file is refused or Qt has no PostgreSQL driver.
    bool addConnection(const QString &connectionName, QString &errorText) const;
    // host:port/database, for the log.
    QString describe() const;
};

} // namespace NVL::Engineering::VK
