#pragma once

#include <QDeadlineTimer>
#include <QString>

namespace NVL::Engineering::VK::Bench {

// The bare cost of what the server does per report on disk: one transaction of a delete and an insert,
// committed with a full sync into the write-ahead log, on a database tuned like the server's.
// Measured through QSQLITE on a file of its own, without network, lookup or checkpoints.
class DurableCommitBench
{
public:
    struct Result
    {
        bool ok = false;
        qint64 committed = 0;
        qint64 stored = 0; // rows counted afterwards
        bool deadlineHit = false;
        qint64 nanoseconds = 0;
        QString error;
    };

    static Result run(const QString &databasePath, quint32 count, const QDeadlineTimer &deadline);
    // SQLite's own limit for what the server stores: upserts of distinct batteries, one prepared
    // statement, `batch` rows a transaction, the same pragmas, the table's primary key as its one index.
    static Result runBatched(const QString &databasePath, quint32 count, quint32 batch, const QDeadlineTimer &deadline);
};

} // namespace NVL::Engineering::VK::Bench
