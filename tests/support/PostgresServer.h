#pragma once

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>
#include <QTemporaryDir>

// A PostgreSQL server of Debian's package of the test's own: a cluster made by initdb in a temporary
// folder, run by pg_ctl as an unprivileged user (initdb refuses root), listening on 127.0.0.1 only on a
// free port, with trust authentication. Stopped and removed with the object.
class PostgresServer
{
public:
    PostgresServer();
    ~PostgresServer();
    PostgresServer(const PostgresServer &) = delete;
    PostgresServer &operator=(const PostgresServer &) = delete;

    // Empty when the cluster is made; otherwise why not.
    QString problem() const { return m_problem; }
    // durable: fsync on, as a production server runs (benchmarks); tests run without it.
    bool start(bool durable = false);
    bool stop();
    quint16 port() const { return m_port; }
    bool createDatabase(const QString &name);
    // An open connection to a database of the cluster, registered under `name`.
    QSqlDatabase connect(const QString &database, const QString &name);
    // vk.cfg's [store] section for a database of the cluster.
    QByteArray storeSection(const QString &database) const;

    static constexpr const char *User = "voltkeep";

private:
    bool run(const QString &program, const QStringList &arguments);

    QTemporaryDir m_folder;
    quint16 m_port = 0;
    QString m_problem;
    bool m_running = false;
};
