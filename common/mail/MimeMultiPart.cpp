#include "MimeMultiPart.h"

#include <QRandomGenerator>
#include <QStringList>

namespace NVL::Engineering::VK {

namespace {

QString mimeTypeOf(MimeMultiPart::MultiPartKind kind)
{
    switch (kind) {
    case MimeMultiPart::Mixed:
        return QStringLiteral("multipart/mixed");
    case MimeMultiPart::Digest:
        return QStringLiteral("multipart/digest");
    case MimeMultiPart::Alternative:
        return QStringLiteral("multipart/alternative");
    case MimeMultiPart::Related:
        return QStringLiteral("multipart/related");
    case MimeMultiPart::Report:
        return QStringLiteral("multipart/report");
    case MimeMultiPart::Signed:
        return QStringLiteral("multipart/signed");
    case MimeMultiPart::Encrypted:
        return QStringLiteral("multipart/encrypted");
    }
    return QString();
}

} // namespace

MimeMultiPart::MimeMultiPart(MultiPartKind kind, QObject *parent)
    : MimePart(parent), m_kind(kind)
{
    m_contentType = mimeTypeOf(kind);
    m_encoding = Encoding8Bit;

    // 16 random bytes: a boundary that repeats, between mails or nested parts, would cut a body short.
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    m_boundary = QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex());
}

void MimeMultiPart::addPart(MimePart *part)
{
    if (part)
        m_parts.append(part);
}

const QList<MimePart *> &MimeMultiPart::getParts() const
{
    return m_parts;
}

MimeMultiPart::MultiPartKind MimeMultiPart::getKind() const
{
    return m_kind;
}

QStringList MimeMultiPart::contentTypeParameters() const
{
    // A related multipart names the type of its root, the first part, for readers that
    // must pick it before reading the parts.
    if (m_kind != Related || m_parts.isEmpty() || m_parts.first()->getContentType().isEmpty())
        return {};
    return {QStringLiteral("type=\"") + m_parts.first()->getContentType() + QLatin1Char('"')};
}

void MimeMultiPart::prepare()
{
    const QString delimiter = QStringLiteral("--") + m_boundary;
    QString body;
    for (MimePart *part : std::as_const(m_parts)) {
        body += delimiter + QStringLiteral("\r\n");
        part->prepare();
        body += part->toString();
    }
    body += delimiter + QStringLiteral("--\r\n");
    m_content = body.toUtf8();
    MimePart::prepare();
}

} // namespace NVL::Engineering::VK
