#include "Html.h"

#include "VoltkeepIdentity.h"

#include <QDateTime>

namespace NVL::Engineering::VK {

QByteArray Html::escaped(const QString &value)
{
    const QByteArray utf8 = value.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 16);
    for (const char c : utf8) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        case '\0': out += "&#xFFFD;"; break;
        default: out += c; break;
        }
    }
    return out;
}

Html &Html::text(const QString &value)
{
    m_out += escaped(value);
    return *this;
}

Html &Html::number(qint64 value)
{
    m_out += QByteArray::number(value);
    return *this;
}

Html &Html::count(qint64 value)
{
    QByteArray digits = QByteArray::number(value < 0 ? -value : value);
    for (qsizetype i = digits.size() - 3; i > 0; i -= 3)
        digits.insert(i, ',');
    if (value < 0)
        m_out += '-';
    m_out += digits;
    return *this;
}

QByteArray Html::page(const QString &title, Section section, const QByteArray &main, bool signOut)
{
    const auto current = [section](Section s) { return s == section ? " aria-current=\"page\"" : ""; };
    Html h;
    h.raw("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
          "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
          "<title>")
        .text(title)
        .raw(" · Voltkeep</title><link rel=\"stylesheet\" href=\"/static/dashboard.css\">"
             "<link rel=\"icon\" href=\"/static/favicon.svg\" type=\"image/svg+xml\">"
             "<script src=\"/static/dashboard.js\" defer></script></head>\n<body>"
             "<header class=\"top\"><a class=\"brand\" href=\"/\"><img src=\"/static/favicon.svg\" alt=\"\" "
             "width=\"24\" height=\"24\">Voltkeep</a><nav><a href=\"/\"")
        .raw(current(Section::Overview))
        .raw(">Overview</a><a href=\"/batteries\"")
        .raw(current(Section::Batteries))
        .raw(">Batteries</a><a href=\"/sites\"")
        .raw(current(Section::Sites))
        .raw(">Sites</a><a href=\"/silent\"")
        .raw(current(Section::Silent))
        .raw(">Silent</a><a href=\"/plan\"")
        .raw(current(Section::Plan))
        .raw(">Plan</a>")
        .raw(signOut ? "<a class=\"signout\" href=\"/signout\">Sign out</a>" : "")
        .raw("</nav></header>\n<main>")
        .raw(main)
        .raw("</main>\n<footer>Voltkeep ")
        .raw(Identity::VersionText)
        .raw(" · read-only view · as of ")
        .text(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm t")))
        .raw(" · <a href=\"/metrics\">metrics</a></footer></body></html>\n");
    return h.take();
}

} // namespace NVL::Engineering::VK
