#include "HttpStreaming.h"

namespace NVL::Engineering::VK {

HttpHead HttpHead::parse(const QList<QByteArray> &lines)
{
    HttpHead head;
    head.lines = lines;
    const QList<QByteArray> request = lines.value(0).trimmed().split(' ');
    head.method = request.value(0);
    head.url = QUrl::fromEncoded(request.value(1));
    return head;
}

QByteArray HttpHead::value(const QByteArray &lowerCaseName) const
{
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0 && lines[i].left(colon).trimmed().toLower() == lowerCaseName)
            return lines[i].mid(colon + 1).trimmed();
    }
    return {};
}

} // namespace NVL::Engineering::VK
