#include "ServiceAppEventFilter.h"

#include "WindowsServiceTypes.h"

#include <QByteArray>

namespace NVL::Engineering::VK {

bool ServiceAppEventFilter::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result)
{
    if (!message || !eventType.startsWith("windows_"))
        return false;
    const auto *msg = static_cast<const Win::Message *>(message);
    if (msg->message != Win::WmEndSession || (std::uintptr_t(msg->lParam) & Win::EndSessionLogoff) == 0)
        return false;
    if (result)
        *result = 1;
    return true;
}

} // namespace NVL::Engineering::VK
