#include "MimeMultiPart.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

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
    : MimePart(parent), kind(kind)
{
    contentType = mimeTypeOf(kind);
    encoding = Encoding8Bit;

    const char randomByte = static_cast<char>(QRandomGenerator::system()->generate64() & 0xFF);
    boundary = QString::fromLatin1(
        QCryptographicHash::hash(QByteArray(1, randomByte), QCryptographicHash::Md5).toHex());
}

void MimeMultiPart::addPart(MimePart *part)
{
    if (part)
        parts.append(part);
}

const QList<MimePart *> &MimeMultiPart::getParts() const
{
    return parts;
}

MimeMultiPart::MultiPartKind MimeMultiPart::getKind() const
{
    return kind;
}

void MimeMultiPart::prepare()
{
    const QString delimiter = QStringLiteral("--") + boundary;
    QString body;
    for (MimePart *part : std::as_const(parts)) {
        body += delimiter + QStringLiteral("\r\n");
        part->prepare();
        body += part->toString();
    }
    body += delimiter + QStringLiteral("--\r\n");
    content = body.toUtf8();
    MimePart::prepare();
}
