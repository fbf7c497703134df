#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QSet>
#include <QSqlDatabase>
#include <QString>

#include <optional>

namespace NVL::Engineering::VK {

// The fleet's planned mail as the shared database records it: a server claims an occurrence or a
// silence there before it tells it, and only the first claim counts, so that servers taking turns at
// the planner neither repeat nor miss one. Every answer is empty when the database cannot be asked.
namespace PostgresMailClaims {

// Claims of occurrences are kept this long after their due time, then forgotten.
constexpr qint64 KeptSeconds = 40 * 86400;

// True when this call claimed the occurrence, false when some server had already or `condition` (SQL, as
// PostgresLease::heldCondition) did not hold when the claim was made.
std::optional<bool> claimOccurrence(const QSqlDatabase &db, const QByteArray &occurrence, qint64 due,
                                    const QString &site, const QString &condition = QString());
// Of these silences, each a battery's serial key and the time of the report its silence began after,
// the serials no server had told yet; they count as told from now on.
std::optional<QSet<QByteArray>> claimSilences(const QSqlDatabase &db, const QList<QPair<QByteArray, qint64>> &silences);

} // namespace PostgresMailClaims

} // namespace NVL::Engineering::VK
