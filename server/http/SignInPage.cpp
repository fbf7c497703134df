#include "SignInPage.h"

#include "Html.h"

namespace NVL::Engineering::VK::SignInPage {

QByteArray page(const QString &problem, const QString &next)
{
    Html h;
    h.raw("<section class=\"signin\"><h1>Sign in</h1><form method=\"post\" action=\"/signin\">"
          "<p class=\"muted\">This server shows its fleet to those who know its token ([http] token in vk.cfg).</p>");
    if (!problem.isEmpty())
        h.raw("<p class=\"problem\" role=\"alert\">").text(problem).raw("</p>");
    h.raw("<label>Token<input type=\"password\" name=\"token\" autocomplete=\"current-password\" required "
          "autofocus></label><input type=\"hidden\" name=\"next\" value=\"")
        .text(localPath(next))
        .raw("\"><button type=\"submit\">Sign in</button></form></section>\n");
    return Html::page(QStringLiteral("Sign in"), Html::Section::SignIn, h.take());
}

QString localPath(const QString &next)
{
    const bool local = next.startsWith(QLatin1Char('/')) && !next.startsWith(QLatin1String("//"))
        && !next.contains(QLatin1Char('\\')) && !next.startsWith(QLatin1String("/signin"));
    return local ? next : QStringLiteral("/");
}

} // namespace NVL::Engineering::VK::SignInPage
