#pragma once

#include <QAbstractNativeEventFilter>

namespace NVL::Engineering::VK {

// Keeps a user's logoff from ending the service's event loop: the end-of-session message that marks
// a logoff is consumed, every other native message passes.
class ServiceAppEventFilter : public QAbstractNativeEventFilter
{
public:
    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;
};

} // namespace NVL::Engineering::VK
