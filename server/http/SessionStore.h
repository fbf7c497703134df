#pragma once

#include <QByteArray>
#include <QDeadlineTimer>

#include <vector>

namespace NVL::Engineering::VK {

// The browsers signed in with the token, in memory only (a restart signs everyone out): a random value
// each, that its cookie carries back, and a time after which it no longer counts.
class SessionStore
{
public:
    // Past it, a new sign-in ends the session that would end soonest.
    static constexpr int MostSessions = 256;
    static constexpr int LifetimeSeconds = 12 * 3600;

    // A new session's value: 32 bytes of the system's random source, as URL-safe text.
    QByteArray open();
    // Compared with every session in full, so the time taken tells nothing of the values held.
    bool isOpen(const QByteArray &value) const;
    void close(const QByteArray &value);

private:
    struct Session
    {
        QByteArray value;
        QDeadlineTimer expires;
    };
    std::vector<Session> m_sessions;
};

} // namespace NVL::Engineering::VK
