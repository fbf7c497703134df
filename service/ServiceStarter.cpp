#include "ServiceStarter.h"

#include "ServiceBase.h"

#include <QCoreApplication>

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

void ServiceStarter::slotStop()
{
    // Before the start, or after a start that failed, there is nothing to stop.
    if (m_started && !m_stopped && m_service.startFailure().isEmpty())
        m_service.stop();
    m_started = true;
    m_stopped = true;
    QCoreApplication::quit();
}

} // namespace NVL::Engineering::VK
