#include "HttpRequest.h"

namespace NVL::Engineering::VK {

QByteArray HttpRequest::value(const QByteArray &lowerCaseName) const
{
    for (const auto &field : fields) {
        if (field.first == lowerCaseName)
            return field.second;
    }
    return {};
}

bool HttpRequest::closes() const
{
    const QByteArray connection = value(QByteArrayLiteral("connection")).toLower();
    return connection.contains("close") || (http10 && !connection.contains("keep-alive"));
}

} // namespace NVL::Engineering::VK
