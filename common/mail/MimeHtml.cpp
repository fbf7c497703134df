#include "MimeHtml.h"

MimeHtml::MimeHtml(const QString &html, QObject *parent)
    : MimeText(html, parent)
{
    contentType = QStringLiteral("text/html");
}

void MimeHtml::setHtml(const QString &html)
{
    text = html;
}

QString MimeHtml::getHtml() const
{
    return text;
}
