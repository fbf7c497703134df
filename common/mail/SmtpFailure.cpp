#include "SmtpFailure.h"

namespace NVL::Engineering::VK {

QString SmtpFailure::stepName(Step step)
{
    switch (step) {
    case Step::None: break;
    case Step::Connect: return QStringLiteral("connect");
    case Step::Tls: return QStringLiteral("TLS");
    case Step::Login: return QStringLiteral("login");
    case Step::Sender: return QStringLiteral("sender");
    case Step::Recipient: return QStringLiteral("recipient");
    case Step::Data: return QStringLiteral("data");
    }
    return QString();
}

} // namespace NVL::Engineering::VK
