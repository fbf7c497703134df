#include "MimeHtml.h"

namespace NVL::Engineering::VK {

MimeHtml::MimeHtml(const QString &html, QObject *parent)
    : MimeText(html, parent)
{
    m_contentType = QStringLiteral("text/html");
}

void MimeHtml::setHtml(const QString &html)
{
    m_text = html;
}

QString MimeHtml::getHtml() const
{
    return m_text;
}

} // namespace NVL::Engineering::VK
