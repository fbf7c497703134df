#pragma once

#include "PostgresTarget.h"

namespace NVL::Engineering::VK {

// A PostgreSQL session advisory lock on a connection of its own: held for as long as that session
// lives, so that when its server stops or dies the database frees it and another server can take it.
class PostgresSessionLock
{
public:
    PostgresSessionLock(const PostgresTarget &target, qint64 key, const QString &connectionName);
    ~PostgresSessionLock();
    PostgresSessionLock(const PostgresSessionLock &) = delete;
    PostgresSessionLock &operator=(const PostgresSessionLock &) = delete;

    // Takes the lock when it is free, or checks that the session holding it still lives; true while
    // this process holds it.
    bool refresh();
    bool isHeld() const { return m_held; }
    // Ends the session without waiting for the database: one that cannot be reached holds no lock for us.
    void drop();

private:
    const PostgresTarget m_target;
    const qint64 m_key;
    const QString m_connection;
    bool m_added = false;
    bool m_held = false;
};

} // namespace NVL::Engineering::VK
