#pragma once

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>

#include <optional>

namespace NVL::Engineering::VK {

// The daily retention of the history points in the shared database, as the history file has it: the
// points of old days thinned to the one that stands for each day (its median), those of years past the kept ones removed.
namespace PostgresRetention {

struct Pass
{
    qint64 removeBefore = 0; // points before this go
    qint64 examineFrom = 0;  // days from here to cutoff keep their last point only
    qint64 cutoff = 0;
    QString zone;            // the time zone whose days count, by its IANA name
};

struct Slice
{
    QByteArray last;  // the last battery done; empty once no battery is left after the one asked
    qint64 removed = 0;
};

// The pass over the batteries after `after` in serial order, at most `batteries` of them, in one
// statement; none when the database cannot be asked.
std::optional<Slice> thin(const QSqlDatabase &db, const QByteArray &after, int batteries, const Pass &pass);
// Days before this hold one point each already, whichever server thinned them; 0 before any pass.
std::optional<qint64> thinnedBefore(const QSqlDatabase &db);
bool setThinnedBefore(const QSqlDatabase &db, qint64 time);

} // namespace PostgresRetention

} // namespace NVL::Engineering::VK
