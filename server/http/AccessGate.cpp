#include "AccessGate.h"

#include "SameBytes.h"

namespace NVL::Engineering::VK {

namespace {

QByteArray cookieAttributes(bool secure)
{
    // Never sent along from another site's page, never read by script.
    return QByteArrayLiteral("; Path=/; HttpOnly; SameSite=Strict") + (secure ? "; Secure" : "");
}

} // namespace

AccessGate::AccessGate(const QString &token)
    : m_token(token.toUtf8())
{
}

AccessGate::Verdict AccessGate::check(const QByteArray &authorization, const QByteArray &cookies,
                                      const QHostAddress &peer, bool count)
{
    if (m_token.isEmpty())
        return Verdict::Allowed;
    const QByteArray session = sessionIn(cookies);
    if (!session.isEmpty() && m_sessions.isOpen(session))
        return Verdict::Allowed;
    const QByteArray header = authorization.trimmed();
    const QByteArray scheme = QByteArrayLiteral("bearer ");
    if (header.size() <= scheme.size() || header.left(scheme.size()).toLower() != scheme)
        return header.isEmpty() ? Verdict::Missing : Verdict::Wrong;
    return token(header.mid(scheme.size()).trimmed(), peer, count);
}

QByteArray AccessGate::signIn(const QByteArray &sent, const QHostAddress &peer, Verdict &verdict)
{
    verdict = token(sent, peer, true);
    return verdict == Verdict::Allowed ? m_sessions.open() : QByteArray();
}

AccessGate::Verdict AccessGate::token(const QByteArray &sent, const QHostAddress &peer, bool count)
{
    if (m_throttle.waitSeconds(peer) > 0)
        return Verdict::Refused;
    if (sameBytes(sent, m_token)) {
        if (count)
            m_throttle.succeeded(peer);
        return Verdict::Allowed;
    }
    if (count)
        m_throttle.failed(peer);
    return Verdict::Wrong;
}

QByteArray AccessGate::sessionIn(const QByteArray &cookies)
{
    for (const QByteArray &pair : cookies.split(';')) {
        const QByteArray trimmed = pair.trimmed();
        const qsizetype eq = trimmed.indexOf('=');
        if (eq > 0 && trimmed.left(eq) == CookieName)
            return trimmed.mid(eq + 1);
    }
    return QByteArray();
}

QByteArray AccessGate::sessionCookie(const QByteArray &value, bool secure)
{
    return QByteArray(CookieName) + '=' + value + "; Max-Age=" + QByteArray::number(SessionStore::LifetimeSeconds)
        + cookieAttributes(secure);
}

QByteArray AccessGate::endedCookie(bool secure)
{
    return QByteArray(CookieName) + "=; Max-Age=0" + cookieAttributes(secure);
}

} // namespace NVL::Engineering::VK
