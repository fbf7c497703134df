#include "MimePart.h"

#include "QuotedPrintable.h"

#include <QStringList>

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
    this->content = content;
}

void MimePart::setHeader(const QString &header)
{
    this->header = header;
}

void MimePart::addHeaderLine(const QString &line)
{
    header += line;
}

void MimePart::setContentId(const QString &contentId)
{
    this->contentId = contentId;
}

void MimePart::setContentName(const QString &contentName)
{
    this->contentName = contentName;
}

void MimePart::setContentType(const QString &contentType)
{
    this->contentType = contentType;
}

void MimePart::setCharset(const QString &charset)
{
    this->charset = charset;
}

void MimePart::setEncoding(TransferEncoding encoding)
{
    this->encoding = encoding;
}

QString MimePart::getHeader() const
{
    return header;
}

QByteArray MimePart::getContent() const
{
    return content;
}

QString MimePart::getContentId() const
{
    return contentId;
}

QString MimePart::getContentName() const
{
    return contentName;
}

QString MimePart::getContentType() const
{
    return contentType;
}

QString MimePart::getCharset() const
{
    return charset;
}

QString MimePart::getBoundary() const
{
    return boundary;
}

MimePart::TransferEncoding MimePart::getEncoding() const
{
    return encoding;
}

QString MimePart::toString()
{
    if (!prepared)
        prepare();
    return mimeString;
}

void MimePart::prepare()
{
    QStringList parameters;
    if (!contentName.isEmpty())
        parameters << QStringLiteral("name=\"") + contentName + QLatin1Char('"');
    if (!charset.isEmpty())
        parameters << QStringLiteral("charset=") + charset;
    if (!boundary.isEmpty())
        parameters << QStringLiteral("boundary=") + boundary;
    parameters << contentTypeParameters();
    // A parameter that would take the line past 78 characters goes on a folded line.
    mimeString = QStringLiteral("Content-Type: ") + contentType;
    qsizetype lineLength = mimeString.size();
    for (const QString &parameter : std::as_const(parameters)) {
        if (lineLength + 2 + parameter.size() > 78) {
            mimeString += QStringLiteral(";\r\n ") + parameter;
            lineLength = 1 + parameter.size();
        } else {
            mimeString += QStringLiteral("; ") + parameter;
            lineLength += 2 + parameter.size();
        }
    }
    mimeString += QStringLiteral("\r\n");

    // An encoding outside the enumeration gets neither a header value nor a body;
    // the header line is left out so it cannot swallow the next one.
    switch (encoding) {
    case Encoding7Bit:
        mimeString += QStringLiteral("Content-Transfer-Encoding: 7bit\r\n");
        break;
    case Encoding8Bit:
        mimeString += QStringLiteral("Content-Transfer-Encoding: 8bit\r\n");
        break;
    case EncodingBase64:
        mimeString += QStringLiteral("Content-Transfer-Encoding: base64\r\n");
        break;
    case EncodingQuotedPrintable:
        mimeString += QStringLiteral("Content-Transfer-Encoding: quoted-printable\r\n");
        break;
    }

    if (!contentId.isEmpty())
        mimeString += QStringLiteral("Content-ID: <") + contentId + QStringLiteral(">\r\n");

    mimeString += header;
    mimeString += QStringLiteral("\r\n");

    switch (encoding) {
    case Encoding7Bit:
        mimeString += withCrLf(QString::fromUtf8(QString::fromUtf8(content).toLatin1()));
        break;
    case Encoding8Bit:
        mimeString += withCrLf(QString::fromUtf8(content));
        break;
    case EncodingBase64:
        mimeString += formatter.format(QString::fromLatin1(content.toBase64()), false);
        break;
    case EncodingQuotedPrintable:
        mimeString += formatter.format(QuotedPrintable::encode(content), true);
        break;
    }

    mimeString += QStringLiteral("\r\n");
    prepared = true;
}
