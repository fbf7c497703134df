#include "SecurityName.h"

namespace NVL::Engineering::VK::SecurityName {

QString of(SecurityType security)
{
    switch (security) {
    case SecurityType::ImplicitTls: return QStringLiteral("ssl");
    case SecurityType::StartTls: return QStringLiteral("starttls");
    case SecurityType::PlainTcp: break;
    }
    return QStringLiteral("none");
}

std::optional<SecurityType> parse(const QString &name)
{
    for (const SecurityType security : {SecurityType::PlainTcp, SecurityType::ImplicitTls, SecurityType::StartTls})
        if (name == of(security))
            return security;
    return std::nullopt;
}

} // namespace NVL::Engineering::VK::SecurityName
