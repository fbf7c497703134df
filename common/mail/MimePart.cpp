#include "MimePart.h"

#include "QuotedPrintable.h"

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
    mimeString = QStringLiteral("Content-Type: ") + contentType;
    if (!contentName.isEmpty())
        mimeString += QStringLiteral("; name=\"") + contentName + QLatin1Char('"');
    if (!charset.isEmpty())
        mimeString += QStringLiteral("; charset=") + charset;
    if (!boundary.isEmpty())
        mimeString += QStringLiteral("; boundary=") + boundary;
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
        mimeString += QString::fromUtf8(QString::fromUtf8(content).toLatin1());
        break;
    case Encoding8Bit:
        mimeString += QString::fromUtf8(content);
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
