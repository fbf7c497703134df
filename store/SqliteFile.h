#pragma once

#include <QString>
#include <QStringList>

#include <cstddef>

class QSqlError;
class QSqlQuery;

namespace NVL::Engineering::VK {

// What both SQLite files of the server need alike: telling damage and a full disk from other failures,
// the statements that set a connection up, and the name a damaged file is kept aside under.
namespace SqliteFile {

// SQLite's own word for a damaged or foreign file; a lock held elsewhere or a failing disk is not.
bool isDamage(const QSqlError &error);
bool isDiskFull(const QSqlError &error);
// Runs the statements in order; false at the first that fails, whose error `query` then holds.
bool execAll(QSqlQuery &query, const char *const *statements, std::size_t count);
template<std::size_t N>
bool execAll(QSqlQuery &query, const char *const (&statements)[N])
{
    return execAll(query, statements, N);
}
// The file and its write-ahead log and shared memory, as suffixes of its path.
const QStringList &companions();
// "<path>.damaged-<yyyyMMdd-HHmmss>", with "-2", "-3"… where a file of that name (or of a companion)
// is there already: nothing kept aside before is ever overwritten.
QString damagedName(const QString &path);
// Before the process's first connection: SQLite then counts no memory, a count whose process-wide lock
// the ingest and the history thread otherwise take at every allocation, and wait for each other on.
// Once a connection was opened, this changes nothing; nor does it where the build has no SQLite library.
void stopMemoryStatistics();

} // namespace SqliteFile

} // namespace NVL::Engineering::VK
