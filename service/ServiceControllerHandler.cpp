#include "ServiceControllerHandler.h"

#include "ServiceBase.h"
#include "ServiceRunState.h"

#include <QCoreApplication>

namespace NVL::Engineering::VK {

ServiceControllerHandler::ServiceControllerHandler(ServiceRunState &state, QObject *parent)
    : QObject(parent)
    , m_state(state)
{
}

void ServiceControllerHandler::customEvent(QEvent *event)
{
    const int type = m_state.receivedType(event);
    ServiceBase &service = m_state.service();
    switch (type) {
    case ServiceRunState::StopEvent:
        // After a failed start the loop is ending already, with the start's exit code.
        if (!service.startFailure().isEmpty())
            break;
        service.stop();
        QCoreApplication::quit();
        break;
    case ServiceRunState::PauseEvent:
        service.pause();
        break;
    case ServiceRunState::ContinueEvent:
        service.resume();
        break;
    case ServiceRunState::StartEvent:
        service.start();
        if (!service.startFailure().isEmpty())
            m_state.markStartFailed();
        break;
    default:
        if (type >= ServiceRunState::UserEventFirst && type <= ServiceRunState::UserEventLast)
            service.runCommand(type - ServiceRunState::UserEventFirst);
        else
            return QObject::customEvent(event);
        break;
    }
    m_state.markHandled();
}

} // namespace NVL::Engineering::VK
