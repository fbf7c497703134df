#include "MimeText.h"

namespace NVL::Engineering::VK {

MimeText::MimeText(const QString &text, QObject *parent)
    : MimePart(parent), m_text(text)
{
    m_contentType = QStringLiteral("text/plain");
    m_charset = QStringLiteral("utf-8");
    m_encoding = Encoding8Bit;
}

void MimeText::setText(const QString &text)
{
    m_text = text;
}

QString MimeText::getText() const
{
    return m_text;
}

void MimeText::prepare()
{
    m_content = m_text.toUtf8();
    MimePart::prepare();
}

} // namespace NVL::Engineering::VK
