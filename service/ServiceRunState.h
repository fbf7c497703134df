#pragma once

#include "ServiceStatus.h"

#include <QStringList>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class QEvent;

namespace NVL::Engineering::VK {

class ApplicationArguments;
class ServiceBase;

// The state of one run under a service manager, shared by three kinds of threads: the event-loop
// thread that owns the application, the dispatcher thread that runs the service main function, and
// the thread(s) on which the service manager's control requests arrive. It knows nothing of any
// particular service manager: the platform supplies a publisher that hands each status record on.
//
// The event-loop thread:   waitForStart, then runApplication, then endApplication.
// The service main thread: receiveArguments, waitForApplication, then control(ControlInternalStart).
// Control threads:         control(code), answered only after the service has acted on it.
class ServiceRunState
{
public:
    using Publisher = std::function<void(const ServiceStatus &status)>;
    // Events posted to the event handler: 1000 + code for the codes that reach the service.
    enum EventType { StopEvent = 1001, PauseEvent = 1002, ContinueEvent = 1003, StartEvent = 1256,
                     UserEventFirst = 1128, UserEventLast = 1255 };

    ServiceRunState(ServiceBase &service, Publisher publisher);
    ~ServiceRunState();

    ServiceRunState(const ServiceRunState &) = delete;
    ServiceRunState &operator=(const ServiceRunState &) = delete;

    ServiceBase &service() const { return m_service; }
    ServiceStatus status() const;
    QStringList arguments() const;

    // Service main side.
    void receiveArguments(const QStringList &arguments);
    // The dispatcher failed: lets the event-loop thread go on without arguments.
    void releaseStart();
    void waitForApplication();

    // Acts on one control code; blocks until the event loop has handled the request it posts.
    void control(std::uint32_t code);

    // Event-loop side.
    bool waitForStart(int timeoutMs);
    // Makes the application from the service arguments, creates the event handler, lets the
    // service main function go on, runs the event loop and publishes the stopped state with the
    // loop's result as exit code (after a failed start: as the service-specific exit code). beforeRun
    // runs once the application exists. False if no application could be made (nothing was published
    // then).
    bool runApplication(const std::function<void()> &beforeRun = {});
    // Deletes the event handler and the application.
    void endApplication();

private:
    // Lives on the event-loop thread and hands each posted request to handleEvent.
    class EventHandler;

    // Standard primitives rather than Qt's, so that thread sanitizers see every hand-over.
    class Semaphore
    {
    public:
        void release();
        void acquire();
        bool tryAcquire(int timeoutMs);

    private:
        std::mutex m_mutex;
        std::condition_variable m_available;
        int m_count = 0;
    };

    // With m_mutex held.
    void publishLocked();
    bool postAndWaitLocked(std::unique_lock<std::mutex> &lock, int eventType);
    void closeLocked();
    // On the event-loop thread: calls the service's operation that a posted request asks for, then wakes
    // the control thread that waits for it; false for an event that is no request.
    bool handleEvent(const QEvent *event);
    // The type of a posted event, read under the mutex it was posted under: the hand-over inside
    // Qt's event queue is invisible to thread sanitizers.
    int receivedType(const QEvent *event) const;
    // The service's start failed: it is never published as running.
    void markStartFailed();
    // The handler has acted on the oldest posted request (events arrive in posting order).
    void markHandled();

    ServiceBase &m_service;
    const Publisher m_publisher;

    mutable std::mutex m_mutex;
    std::condition_variable m_handled;
    ServiceStatus m_status;
    QStringList m_arguments;
    EventHandler *m_handler = nullptr;
    quint64 m_postedSequence = 0;
    quint64 m_handledSequence = 0;
    // Set once the event loop has ended: nothing posted afterwards would ever be handled.
    bool m_closed = false;
    bool m_startFailed = false;

    Semaphore m_startSemaphore;
    Semaphore m_applicationSemaphore;
    std::unique_ptr<ApplicationArguments> m_applicationArguments;
    std::unique_ptr<EventHandler> m_ownedHandler;
    bool m_madeApplication = false;
};

} // namespace NVL::Engineering::VK
