#pragma once

#include <QSqlDatabase>
#include <QString>

namespace NVL::Engineering::VK {

// The layout of the shared PostgreSQL database and the advisory locks the servers coordinate by (the
// planner's is a lease: PostgresLease).
namespace PostgresSchema {

// Keys of pg_advisory_lock, the same on every server of a fleet.
constexpr qint64 MigrationLock = 0x566b01;
constexpr qint64 WriteLock = 0x566b02; // held by each commit: change numbers become visible in order

constexpr int Version = 3;

// Brings the database to Version under MigrationLock, so that two servers starting together never
// run a step twice; refuses a database of a newer version than this program knows.
bool migrate(const QSqlDatabase &db, QString &errorText);
// Rows in the tables the server keeps; -1 with the reason when they cannot be counted.
qint64 rows(const QSqlDatabase &db, const QString &table, QString &errorText);

} // namespace PostgresSchema

} // namespace NVL::Engineering::VK
