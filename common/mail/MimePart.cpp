#include "MimePart.h"

#include "QuotedPrintable.h"

#include <QStringList>

namespace NVL::Engineering::VK {

namespace {

// SMTP knows only CR LF as a line end; servers turn a bare LF into a blank or refuse the mail.
QString withCrLf(const QString &text)
{
    QString out;
    out.reserve(text.size() + text.size() / 32);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\r')) {
            out += QStringLiteral("\r\n");
            if (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n'))
                ++i;
        } else if (c == QLatin1Char('\n')) {
            out += QStringLiteral("\r\n");
        } else {
            out += c;
        }
    }
    return out;
}

// Text keeps its lines as hard CR LF breaks (readers show them as lines, and a line break in the
// text is no "=0A"); a blank that would end a line is encoded, since transports strip it.
QString quotedPrintableLines(const QByteArray &text)
{
    QStringList lines;
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        QString encoded = QuotedPrintable::encode(line);
        if (encoded.endsWith(QLatin1Char(' ')))
            encoded.replace(encoded.size() - 1, 1, QStringLiteral("=20"));
        lines.append(encoded);
    }
    return lines.join(QStringLiteral("\r\n"));
}

} // namespace

QStringList MimePart::contentTypeParameters() const
{
    return {};
}

MimePart::MimePart(QObject *parent)
    : QObject(parent)
{
}

void MimePart::setContent(const QByteArray &content)
{
    m_content = content;
}

void MimePart::setHeader(const QString &header)
{
    m_header = header;
}

void MimePart::addHeaderLine(const QString &line)
{
    m_header += line;
}

void MimePart::setContentId(const QString &contentId)
{
    m_contentId = contentId;
}

void MimePart::setContentName(const QString &contentName)
{
    m_contentName = contentName;
}

void MimePart::setContentType(const QString &contentType)
{
    m_contentType = contentType;
}

void MimePart::setCharset(const QString &charset)
{
    m_charset = charset;
}

void MimePart::setEncoding(TransferEncoding encoding)
{
    m_encoding = encoding;
}

QString MimePart::getHeader() const
{
    return m_header;
}

QByteArray MimePart::getContent() const
{
    return m_content;
}

QString MimePart::getContentId() const
{
    return m_contentId;
}

QString MimePart::getContentName() const
{
    return m_contentName;
}

QString MimePart::getContentType() const
{
    return m_contentType;
}

QString MimePart::getCharset() const
{
    return m_charset;
}

QString MimePart::getBoundary() const
{
    return m_boundary;
}

MimePart::TransferEncoding MimePart::getEncoding() const
{
    return m_encoding;
}

QString MimePart::toString()
{
    if (!m_prepared)
        prepare();
    return m_mimeString;
}

void MimePart::prepare()
{
    QStringList parameters;
    if (!m_contentName.isEmpty())
        parameters << QStringLiteral("name=\"") + m_contentName + QLatin1Char('"');
    if (!m_charset.isEmpty())
        parameters << QStringLiteral("charset=") + m_charset;
    if (!m_boundary.isEmpty())
        parameters << QStringLiteral("boundary=") + m_boundary;
    parameters << contentTypeParameters();
    // A parameter that would take the line past 78 characters goes on a folded line.
    m_mimeString = QStringLiteral("Content-Type: ") + m_contentType;
    qsizetype lineLength = m_mimeString.size();
    for (const QString &parameter : std::as_const(parameters)) {
        if (lineLength + 2 + parameter.size() > 78) {
            m_mimeString += QStringLiteral(";\r\n ") + parameter;
            lineLength = 1 + parameter.size();
        } else {
            m_mimeString += QStringLiteral("; ") + parameter;
            lineLength += 2 + parameter.size();
        }
    }
    m_mimeString += QStringLiteral("\r\n");

    // An encoding outside the enumeration gets neither a header value nor a body;
    // the header line is left out so it cannot swallow the next one.
    switch (m_encoding) {
    case Encoding7Bit:
        m_mimeString += QStringLiteral("Content-Transfer-Encoding: 7bit\r\n");
        break;
    case Encoding8Bit:
        m_mimeString += QStringLiteral("Content-Transfer-Encoding: 8bit\r\n");
        break;
    case EncodingBase64:
        m_mimeString += QStringLiteral("Content-Transfer-Encoding: base64\r\n");
        break;
    case EncodingQuotedPrintable:
        m_mimeString += QStringLiteral("Content-Transfer-Encoding: quoted-printable\r\n");
        break;
    }

    if (!m_contentId.isEmpty())
        m_mimeString += QStringLiteral("Content-ID: <") + m_contentId + QStringLiteral(">\r\n");

    m_mimeString += m_header;
    m_mimeString += QStringLiteral("\r\n");

    switch (m_encoding) {
    case Encoding7Bit:
        m_mimeString += withCrLf(QString::fromUtf8(QString::fromUtf8(m_content).toLatin1()));
        break;
    case Encoding8Bit:
        m_mimeString += withCrLf(QString::fromUtf8(m_content));
        break;
    case EncodingBase64:
        m_mimeString += m_formatter.format(QString::fromLatin1(m_content.toBase64()), false);
        break;
    case EncodingQuotedPrintable:
        m_mimeString += m_formatter.format(m_contentType.startsWith(QLatin1String("text/"))
                                               ? quotedPrintableLines(m_content)
                                               : QuotedPrintable::encode(m_content),
                                           true);
        break;
    }

    m_mimeString += QStringLiteral("\r\n");
    m_prepared = true;
}

} // namespace NVL::Engineering::VK
