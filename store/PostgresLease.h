#pragma once

#include <QSqlDatabase>
#include <QString>

namespace NVL::Engineering::VK {

// The planner's lease in the shared database: one row that names its holder and when its hold ends, by
// the database's clock. The holder renews it every few seconds; a holder that hangs, dies or loses the
// network stops renewing, and once the hold has ended another server takes it. A holder that finds the
// row taken has lost it and stops at once. Unlike a session lock, a holder that hangs with its
// connection open holds nothing for long.
class PostgresLease
{
public:
    // `holder` names this process uniquely (its site, process and a random part).
    PostgresLease(const QString &holder, int seconds);

    // Takes the lease when it is free or its hold has ended, or renews this server's; true while this
    // server holds it. False, and not held, when the database cannot be asked.
    bool refresh(const QSqlDatabase &db);
    bool isHeld() const { return m_held; }
    void lose() { m_held = false; }
    // Gives it up at a stop, so that another server takes it at its next try.
    void release(const QSqlDatabase &db);
    const QString &holder() const { return m_holder; }
    int seconds() const { return m_seconds; }
    // The condition, in SQL, that this server holds the lease at the moment a statement runs: what it
    // claims under the lease is claimed only while it does.
    QString heldCondition(const QSqlDatabase &db) const;

private:
    const QString m_holder;
    const int m_seconds;
    bool m_held = false;
};

} // namespace NVL::Engineering::VK
