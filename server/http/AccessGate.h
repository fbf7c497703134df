#pragma once

#include "SessionStore.h"
#include "SignInThrottle.h"

#include <QByteArray>
#include <QHostAddress>

namespace NVL::Engineering::VK {

// Who may read the HTTP side when [http] token is set: a request with the token as a bearer token, or a
// browser that signed in with it and carries its session cookie back. Without a token everyone may.
class AccessGate
{
public:
    enum class Verdict { Allowed, Missing, Wrong, Refused };

    static constexpr char CookieName[] = "vk_session";

    explicit AccessGate(const QString &token);

    bool tokenRequired() const { return !m_token.isEmpty(); }
    // Of a request's Authorization and Cookie fields. A wrong token counts against the address when
    // `count`; while the address waits (Refused) no token from it is compared.
    Verdict check(const QByteArray &authorization, const QByteArray &cookies, const QHostAddress &peer, bool count);
    // The value of a new session for the right token; empty otherwise, with why in the verdict.
    QByteArray signIn(const QByteArray &token, const QHostAddress &peer, Verdict &verdict);
    void signOut(const QByteArray &cookies) { m_sessions.close(sessionIn(cookies)); }
    int waitSeconds(const QHostAddress &peer) const { return m_throttle.waitSeconds(peer); }
    // Set-Cookie values that hand a browser its session, and that end it.
    static QByteArray sessionCookie(const QByteArray &value, bool secure);
    static QByteArray endedCookie(bool secure);

private:
    static QByteArray sessionIn(const QByteArray &cookies);
    Verdict token(const QByteArray &sent, const QHostAddress &peer, bool count);

    QByteArray m_token;
    SessionStore m_sessions;
    SignInThrottle m_throttle;
};

} // namespace NVL::Engineering::VK
