#include "ServiceStarter.h"

#include "ServiceBase.h"

namespace NVL::Engineering::VK {

ServiceStarter::ServiceStarter(ServiceBase &service, QObject *parent)
    : QObject(parent)
    , m_service(service)
{
}

void ServiceStarter::slotStart()
{
    if (m_started)
        return;
    m_started = true;
    m_service.start();
}

} // namespace NVL::Engineering::VK
