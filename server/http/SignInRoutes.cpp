// The HTTP side's sign-in: a browser, which cannot send a bearer token, posts the token once and then
// carries a session cookie.
#include "ApiServer.h"

#include "ApiAnswers.h"
#include "SignInPage.h"

#include <QUrlQuery>

namespace NVL::Engineering::VK {

namespace {

using Status = HttpStatus;

HttpResponse signInPage(const QString &problem, const QString &next, Status status)
{
    return ApiAnswers::html(SignInPage::page(problem, next), status);
}

HttpResponse redirect(const QByteArray &location)
{
    HttpResponse response(Status::SeeOther);
    response.addHeader(QByteArrayLiteral("Location"), location);
    return response;
}

QString waitText(int seconds)
{
    return QStringLiteral("Too many wrong tokens from this address: try again in %1 s.").arg(seconds);
}

} // namespace

bool ApiServer::wantsPage(const HttpRequest &request)
{
    return !request.path().startsWith(QLatin1String("/api/")) && request.value(QByteArrayLiteral("accept")).contains("text/html");
}

HttpResponse ApiServer::signInRoute(const HttpRequest &request)
{
    if (request.method == "POST")
        return signIn(request);
    return signInPage(QString(), request.query().queryItemValue(QStringLiteral("next"), QUrl::FullyDecoded), Status::Ok);
}

HttpResponse ApiServer::signOut(const HttpRequest &request)
{
    m_gate.signOut(request.value(QByteArrayLiteral("cookie")));
    HttpResponse response = redirect(QByteArrayLiteral("/signin"));
    response.addHeader(QByteArrayLiteral("Set-Cookie"), AccessGate::endedCookie(m_tls));
    return response;
}

HttpResponse ApiServer::signIn(const HttpRequest &request)
{
    // A form's spaces come as plus signs, its plus signs escaped.
    const QUrlQuery form(QString::fromUtf8(request.body).replace(QLatin1Char('+'), QLatin1String("%20")));
    const QString next = SignInPage::localPath(form.queryItemValue(QStringLiteral("next"), QUrl::FullyDecoded));
    AccessGate::Verdict verdict;
    const QByteArray session =
        m_gate.signIn(form.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8(), request.peer, verdict);
    if (verdict == AccessGate::Verdict::Allowed) {
        HttpResponse response = redirect(QUrl(next).toEncoded());
        response.addHeader(QByteArrayLiteral("Set-Cookie"), AccessGate::sessionCookie(session, m_tls));
        return response;
    }
    if (verdict == AccessGate::Verdict::Refused)
        return refusal(request, verdict);
    return signInPage(QStringLiteral("That is not the token."), next, Status::Forbidden);
}

HttpResponse ApiServer::refusal(const HttpRequest &request, AccessGate::Verdict verdict) const
{
    const bool page = wantsPage(request) || request.path() == QLatin1String("/signin");
    if (verdict == AccessGate::Verdict::Refused) {
        const int seconds = std::max(1, m_gate.waitSeconds(request.peer));
        HttpResponse response = page ? signInPage(waitText(seconds), QStringLiteral("/"), Status::TooManyRequests)
                                     : HttpResponse::plain(waitText(seconds), Status::TooManyRequests);
        response.addHeader(QByteArrayLiteral("Retry-After"), QByteArray::number(seconds));
        return response;
    }
    if (page) {
        QUrl here(request.url.path());
        here.setQuery(request.url.query());
        return redirect("/signin?next=" + QUrl::toPercentEncoding(here.toString()));
    }
    HttpResponse response = HttpResponse::plain(QStringLiteral("a bearer token is required"), Status::Unauthorized);
    response.addHeader(QByteArrayLiteral("WWW-Authenticate"), QByteArrayLiteral("Bearer"));
    return response;
}

} // namespace NVL::Engineering::VK
