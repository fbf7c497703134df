// The HTTP side's sign-in: a browser, which cannot send a bearer token, posts the token once and then
// carries a session cookie.
#include "ApiServer.h"

#include "SignInPage.h"

#include <QUrlQuery>

namespace NVL::Engineering::VK {

namespace {

using Status = QHttpServerResponder::StatusCode;

QHttpServerResponse signInPage(const QString &problem, const QString &next, Status status)
{
    return QHttpServerResponse(QByteArrayLiteral("text/html; charset=utf-8"), SignInPage::page(problem, next), status);
}

QHttpServerResponse redirect(const QByteArray &location)
{
    QHttpServerResponse response(Status::SeeOther);
    response.addHeader(QByteArrayLiteral("Location"), location);
    return response;
}

QString waitText(int seconds)
{
    return QStringLiteral("Too many wrong tokens from this address: try again in %1 s.").arg(seconds);
}

} // namespace

bool ApiServer::wantsPage(const QHttpServerRequest &request)
{
    return !request.url().path().startsWith(QLatin1String("/api/"))
        && request.value(QByteArrayLiteral("Accept")).contains("text/html");
}

void ApiServer::addSignInRoutes()
{
    m_http.route(QStringLiteral("/signin"), [this](const QHttpServerRequest &request) {
        if (request.method() == QHttpServerRequest::Method::Post)
            return signIn(request);
        return signInPage(QString(), request.query().queryItemValue(QStringLiteral("next"), QUrl::FullyDecoded), Status::Ok);
    });
    m_http.route(QStringLiteral("/signout"), [this](const QHttpServerRequest &request) {
        m_gate.signOut(request.value(QByteArrayLiteral("Cookie")));
        QHttpServerResponse response = redirect(QByteArrayLiteral("/signin"));
        response.addHeader(QByteArrayLiteral("Set-Cookie"), AccessGate::endedCookie(m_tls));
        return response;
    });
}

QHttpServerResponse ApiServer::signIn(const QHttpServerRequest &request)
{
    // A form's spaces come as plus signs, its plus signs escaped.
    const QUrlQuery form(QString::fromUtf8(request.body()).replace(QLatin1Char('+'), QLatin1String("%20")));
    const QString next = SignInPage::localPath(form.queryItemValue(QStringLiteral("next"), QUrl::FullyDecoded));
    AccessGate::Verdict verdict;
    const QByteArray session =
        m_gate.signIn(form.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8(), request.remoteAddress(), verdict);
    if (verdict == AccessGate::Verdict::Allowed) {
        QHttpServerResponse response = redirect(QUrl(next).toEncoded());
        response.addHeader(QByteArrayLiteral("Set-Cookie"), AccessGate::sessionCookie(session, m_tls));
        return response;
    }
    if (verdict == AccessGate::Verdict::Refused)
        return refusal(request, verdict);
    return signInPage(QStringLiteral("That is not the token."), next, Status::Forbidden);
}

QHttpServerResponse ApiServer::refusal(const QHttpServerRequest &request, AccessGate::Verdict verdict) const
{
    const bool page = wantsPage(request) || request.url().path() == QLatin1String("/signin");
    if (verdict == AccessGate::Verdict::Refused) {
        const int seconds = std::max(1, m_gate.waitSeconds(request.remoteAddress()));
        QHttpServerResponse response = page ? signInPage(waitText(seconds), QStringLiteral("/"), Status::TooManyRequests)
                                            : QHttpServerResponse(QByteArrayLiteral("text/plain; charset=utf-8"),
                                                                  (waitText(seconds) + QLatin1Char('\n')).toUtf8(),
                                                                  Status::TooManyRequests);
        response.addHeader(QByteArrayLiteral("Retry-After"), QByteArray::number(seconds));
        return response;
    }
    if (page) {
        QUrl here(request.url().path());
        here.setQuery(request.url().query());
        return redirect("/signin?next=" + QUrl::toPercentEncoding(here.toString()));
    }
    QHttpServerResponse response(QByteArrayLiteral("text/plain; charset=utf-8"), QByteArrayLiteral("a bearer token is required\n"),
                                 Status::Unauthorized);
    response.addHeader(QByteArrayLiteral("WWW-Authenticate"), QByteArrayLiteral("Bearer"));
    return response;
}

} // namespace NVL::Engineering::VK
