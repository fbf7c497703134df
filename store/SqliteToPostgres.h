#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QString>

namespace NVL::Engineering::VK {

// The move of one server's SQLite files into the shared PostgreSQL database: read-only on the files,
// one transaction on the database, so that a failed move leaves both as they were.
namespace SqliteToPostgres {

struct Count
{
    QString table;
    qint64 source = 0; // rows in the SQLite file
    qint64 target = 0; // rows in PostgreSQL after the move
};

// Copies vk.db's batteries (each marked with `site`) and, when historyFile exists, its points and
// forecasts into `target`, which must be migrated and hold none of them; false with the reason
// otherwise. The counts come back whatever the outcome, for the caller to print.
bool copy(const QString &databaseFile, const QString &historyFile, const QString &site, const QSqlDatabase &target,
          QList<Count> &counts, QString &errorText);

} // namespace SqliteToPostgres

} // namespace NVL::Engineering::VK
