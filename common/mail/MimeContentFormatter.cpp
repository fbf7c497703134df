#include "MimeContentFormatter.h"

namespace NVL::Engineering::VK {

MimeContentFormatter::MimeContentFormatter(int maxLength, QObject *parent)
    : QObject(parent), m_maxLength(maxLength)
{
}

void MimeContentFormatter::setMaxLength(int length)
{
    m_maxLength = length;
}

int MimeContentFormatter::getMaxLength() const
{
    return m_maxLength;
}

QString MimeContentFormatter::format(const QString &content, bool quotedPrintable) const
{
    static const QString crlf = QStringLiteral("\r\n");
    QString out;
    out.reserve(content.size() + content.size() / m_maxLength * 3 + 3);
    int count = 0;
    for (const QChar c : content) {
        ++count;
        if (quotedPrintable) {
            if (c == QLatin1Char('\n')) {
                out.append(c);
                count = 0;
                continue;
            }
            // Leave room for the soft-break "=" and keep "=XX" on one line.
            if (count > m_maxLength - 1 || (c == QLatin1Char('=') && count > m_maxLength - 3)) {
                out.append(QLatin1Char('='));
                out.append(crlf);
                count = 1;
            }
        } else if (count > m_maxLength) {
            out.append(crlf);
            count = 1;
        }
        out.append(c);
    }
    return out;
}

} // namespace NVL::Engineering::VK
