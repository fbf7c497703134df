#include "ServiceRunState.h"

#include "ApplicationArguments.h"
#include "ServiceBase.h"
#include "ServiceControllerHandler.h"

#include <QCoreApplication>
#include <QMutexLocker>

namespace NVL::Engineering::VK {

namespace {

std::uint32_t acceptedControls(int flags)
{
    std::uint32_t accepted = 0;
    if (!(flags & ServiceBase::CannotBeStopped))
        accepted |= AcceptStop;
    if (flags & ServiceBase::CanBeSuspended)
        accepted |= AcceptPauseContinue;
    if (flags & ServiceBase::NeedsStopOnShutdown)
        accepted |= AcceptShutdown;
    return accepted;
}

} // namespace

ServiceRunState::ServiceRunState(ServiceBase &service, Publisher publisher)
    : m_service(service)
    , m_publisher(std::move(publisher))
{
    m_status.serviceType = ServiceTypeInteractiveOwnProcess;
    m_status.currentState = ServiceStopped;
    m_status.controlsAccepted = acceptedControls(service.serviceFlags());
}

ServiceRunState::~ServiceRunState()
{
    endApplication();
}

ServiceStatus ServiceRunState::status() const
{
    const QMutexLocker lock(&m_mutex);
    return m_status;
}

QStringList ServiceRunState::arguments() const
{
    const QMutexLocker lock(&m_mutex);
    return m_arguments;
}

void ServiceRunState::receiveArguments(const QStringList &arguments)
{
    {
        const QMutexLocker lock(&m_mutex);
        m_arguments += arguments;
    }
    m_startSemaphore.release();
}

void ServiceRunState::releaseStart()
{
    m_startSemaphore.release();
}

void ServiceRunState::waitForApplication()
{
    m_applicationSemaphore.acquire();
}

bool ServiceRunState::waitForStart(int timeoutMs)
{
    return m_startSemaphore.tryAcquire(1, timeoutMs);
}

void ServiceRunState::control(std::uint32_t code)
{
    QMutexLocker lock(&m_mutex);
    switch (code) {
    case ControlStop:
        if (m_closed)
            break;
        m_status.currentState = ServiceStopPending;
        publishLocked();
        postAndWaitLocked(StopEvent);
        break;
    case ControlPause:
        if (m_closed)
            break;
        m_status.currentState = ServicePausePending;
        publishLocked();
        if (postAndWaitLocked(PauseEvent))
            m_status.currentState = ServicePaused;
        break;
    case ControlContinue:
        if (m_closed)
            break;
        m_status.currentState = ServiceContinuePending;
        publishLocked();
        if (postAndWaitLocked(ContinueEvent))
            m_status.currentState = ServiceRunning;
        break;
    case ControlShutdown:
        postAndWaitLocked(StopEvent);
        break;
    case ControlInternalStart:
        if (m_closed)
            break;
        m_status.currentState = ServiceStartPending;
        publishLocked();
        if (postAndWaitLocked(StartEvent))
            m_status.currentState = ServiceRunning;
        break;
    default:
        if (code >= ControlUserFirst && code <= ControlUserLast)
            postAndWaitLocked(int(1000 + code));
        break;
    }
    // A request that came after the end must not revive the published state.
    if (m_status.currentState != ServiceStopped)
        publishLocked();
}

void ServiceRunState::publishLocked()
{
    if (m_publisher)
        m_publisher(m_status);
}

bool ServiceRunState::postAndWaitLocked(int eventType)
{
    if (m_closed || !m_handler)
        return false;
    const quint64 sequence = ++m_postedSequence;
    QCoreApplication::postEvent(m_handler, new ServiceControllerHandler::ControlEvent(eventType, sequence));
    while (m_handledSequence < sequence && !m_closed)
        m_handled.wait(&m_mutex);
    return m_handledSequence >= sequence;
}

void ServiceRunState::markHandled(quint64 sequence)
{
    const QMutexLocker lock(&m_mutex);
    if (sequence > m_handledSequence)
        m_handledSequence = sequence;
    m_handled.wakeAll();
}

void ServiceRunState::closeLocked()
{
    m_closed = true;
    m_handled.wakeAll();
}

bool ServiceRunState::runApplication(const std::function<void()> &beforeRun)
{
    m_applicationArguments = std::make_unique<ApplicationArguments>(arguments());
    m_service.makeApplication(m_applicationArguments->count(), m_applicationArguments->vector());
    if (!m_service.hasApplication()) {
        // Nobody will ever handle a request: let a waiting service main function return.
        {
            const QMutexLocker lock(&m_mutex);
            closeLocked();
        }
        m_applicationSemaphore.release();
        m_applicationArguments.reset();
        return false;
    }
    m_madeApplication = true;
    if (beforeRun)
        beforeRun();
    m_ownedHandler = std::make_unique<ServiceControllerHandler>(*this);
    {
        const QMutexLocker lock(&m_mutex);
        m_handler = m_ownedHandler.get();
    }
    m_applicationSemaphore.release();

    const int result = m_service.runApplication();

    const QMutexLocker lock(&m_mutex);
    closeLocked();
    m_status.exitCode = std::uint32_t(result);
    m_status.currentState = ServiceStopped;
    publishLocked();
    return true;
}

void ServiceRunState::endApplication()
{
    {
        const QMutexLocker lock(&m_mutex);
        closeLocked();
        m_handler = nullptr;
    }
    m_ownedHandler.reset();
    if (m_madeApplication && m_service.hasApplication())
        m_service.deleteApplication();
    m_madeApplication = false;
    m_applicationArguments.reset();
}

} // namespace NVL::Engineering::VK
