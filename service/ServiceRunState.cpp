#include "ServiceRunState.h"

#include "ApplicationArguments.h"
#include "ServiceBase.h"

#include <QCoreApplication>
#include <QEvent>

#include <chrono>

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

class ServiceRunState::EventHandler final : public QObject
{
public:
    explicit EventHandler(ServiceRunState &state)
        : m_state(state)
    {
    }

protected:
    void customEvent(QEvent *event) override
    {
        if (!m_state.handleEvent(event))
            QObject::customEvent(event);
    }

private:
    ServiceRunState &m_state;
};

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
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_status;
}

QStringList ServiceRunState::arguments() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_arguments;
}

void ServiceRunState::receiveArguments(const QStringList &arguments)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
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
    return m_startSemaphore.tryAcquire(timeoutMs);
}

void ServiceRunState::Semaphore::release()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        ++m_count;
    }
    m_available.notify_one();
}

void ServiceRunState::Semaphore::acquire()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_available.wait(lock, [this] { return m_count > 0; });
    --m_count;
}

bool ServiceRunState::Semaphore::tryAcquire(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_available.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_count > 0; }))
        return false;
    --m_count;
    return true;
}

void ServiceRunState::control(std::uint32_t code)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    switch (code) {
    case ControlStop:
        // After a failed start the loop is ending by itself: there is nothing to stop.
        if (m_closed || m_startFailed)
            break;
        m_status.currentState = ServiceStopPending;
        publishLocked();
        postAndWaitLocked(lock, StopEvent);
        break;
    case ControlPause:
        if (m_closed)
            break;
        m_status.currentState = ServicePausePending;
        publishLocked();
        if (postAndWaitLocked(lock, PauseEvent))
            m_status.currentState = ServicePaused;
        break;
    case ControlContinue:
        if (m_closed)
            break;
        m_status.currentState = ServiceContinuePending;
        publishLocked();
        if (postAndWaitLocked(lock, ContinueEvent))
            m_status.currentState = ServiceRunning;
        break;
    case ControlShutdown:
        postAndWaitLocked(lock, StopEvent);
        break;
    case ControlInternalStart:
        if (m_closed)
            break;
        m_status.currentState = ServiceStartPending;
        publishLocked();
        if (postAndWaitLocked(lock, StartEvent) && !m_startFailed)
            m_status.currentState = ServiceRunning;
        break;
    default:
        if (code >= ControlUserFirst && code <= ControlUserLast)
            postAndWaitLocked(lock, int(1000 + code));
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

bool ServiceRunState::postAndWaitLocked(std::unique_lock<std::mutex> &lock, int eventType)
{
    if (m_closed || !m_handler)
        return false;
    const quint64 sequence = ++m_postedSequence;
    // The event carries nothing but its type: what it means is read back under this mutex.
    QCoreApplication::postEvent(m_handler, new QEvent(QEvent::Type(eventType)));
    m_handled.wait(lock, [this, sequence] { return m_handledSequence >= sequence || m_closed; });
    // Once the loop has ended the state is stopped for good, even if this request was handled.
    return !m_closed;
}

bool ServiceRunState::handleEvent(const QEvent *event)
{
    const int type = receivedType(event);
    switch (type) {
    case StopEvent:
        // After a failed start the loop is ending already, with the start's exit code.
        if (!m_service.startFailure().isEmpty())
            break;
        m_service.stop();
        QCoreApplication::quit();
        break;
    case PauseEvent:
        m_service.pause();
        break;
    case ContinueEvent:
        m_service.resume();
        break;
    case StartEvent:
        m_service.start();
        if (!m_service.startFailure().isEmpty())
            markStartFailed();
        break;
    default:
        if (type >= UserEventFirst && type <= UserEventLast)
            m_service.runCommand(type - UserEventFirst);
        else
            return false;
        break;
    }
    markHandled();
    return true;
}

int ServiceRunState::receivedType(const QEvent *event) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return int(event->type());
}

void ServiceRunState::markStartFailed()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_startFailed = true;
}

void ServiceRunState::markHandled()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    ++m_handledSequence;
    m_handled.notify_all();
}

void ServiceRunState::closeLocked()
{
    m_closed = true;
    m_handled.notify_all();
}

bool ServiceRunState::runApplication(const std::function<void()> &beforeRun)
{
    m_applicationArguments = std::make_unique<ApplicationArguments>(arguments());
    m_service.makeApplication(m_applicationArguments->count(), m_applicationArguments->vector());
    if (!m_service.hasApplication()) {
        // Nobody will ever handle a request: let a waiting service main function return.
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            closeLocked();
        }
        m_applicationSemaphore.release();
        m_applicationArguments.reset();
        return false;
    }
    m_madeApplication = true;
    if (beforeRun)
        beforeRun();
    m_ownedHandler = std::make_unique<EventHandler>(*this);
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_handler = m_ownedHandler.get();
    }
    m_applicationSemaphore.release();

    const int result = m_service.runApplication();

    const std::lock_guard<std::mutex> lock(m_mutex);
    closeLocked();
    if (m_startFailed) {
        m_status.exitCode = ErrorServiceSpecificError;
        m_status.serviceSpecificExitCode = std::uint32_t(result);
    } else {
        m_status.exitCode = std::uint32_t(result);
    }
    m_status.currentState = ServiceStopped;
    publishLocked();
    return true;
}

void ServiceRunState::endApplication()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
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
