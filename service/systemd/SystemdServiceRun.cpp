#include "SystemdServiceRun.h"

#include "EventSink.h"
#include "HandlerThread.h"
#include "ServiceBase.h"
#include "ServiceRunState.h"
#include "StopSignalPipe.h"
#include "SystemdNotifier.h"

#include <QMutex>
#include <QMutexLocker>

#include <memory>
#include <sys/stat.h>

namespace NVL::Engineering::VK {

namespace {

// systemd names the journal stream it connected standard error to in JOURNAL_STREAM ("device:inode").
bool standardErrorIsJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const int colon = stream.indexOf(':');
    struct stat info = {};
    if (colon <= 0 || ::fstat(2, &info) != 0)
        return false;
    bool deviceOk = false;
    bool inodeOk = false;
    const qulonglong device = stream.left(colon).toULongLong(&deviceOk);
    const qulonglong inode = stream.mid(colon + 1).toULongLong(&inodeOk);
    return deviceOk && inodeOk && device == qulonglong(info.st_dev) && inode == qulonglong(info.st_ino);
}

// Passes every entry on and keeps what systemd's status line shows after the start: the first
// failure, else the second line of the last success (the start banner).
class StartLog final : public EventSink
{
public:
    explicit StartLog(EventSink &next)
        : m_next(next)
    {
    }

    void writeEvent(const QString &source, const QString &message, LogType type, quint32 eventId, quint16 category,
                    const QByteArray &data) override
    {
        {
            const QMutexLocker lock(&m_mutex);
            if (!m_closed && type == LogType::Error && m_failure.isEmpty())
                m_failure = message;
            if (!m_closed && type == LogType::Success)
                m_banner = message;
        }
        m_next.writeEvent(source, message, type, eventId, category, data);
    }

    // Ends the recording.
    QString statusText()
    {
        const QMutexLocker lock(&m_mutex);
        m_closed = true;
        if (!m_failure.isEmpty())
            return m_failure;
        const int lineBreak = m_banner.indexOf(QLatin1Char('\n'));
        return lineBreak < 0 ? m_banner : m_banner.mid(lineBreak + 1);
    }

private:
    EventSink &m_next;
    QMutex m_mutex;
    QString m_failure;
    QString m_banner;
    bool m_closed = false;
};

} // namespace

SystemdServiceRun::SystemdServiceRun(ServiceBase &service)
    : m_service(service)
{
}

bool SystemdServiceRun::run()
{
    EventSink &platformSink = EventSink::current();
    StartLog startLog(platformSink);

    // Called under the run state's mutex, so the calls never overlap. A state is published again
    // after each request; systemd hears of every change once.
    // A failed start sends no READY=1: its reason and the exit code tell systemd that it failed.
    std::uint32_t published = ServiceStopped;
    ServiceRunState state(m_service, [this, &startLog, &published](const ServiceStatus &status) {
        if (status.currentState == published)
            return;
        published = status.currentState;
        if (published == ServiceRunning)
            SystemdNotifier::ready(startLog.statusText());
        else if (published == ServiceStopPending)
            SystemdNotifier::stopping();
        else if (published == ServiceStopped && !m_service.startFailure().isEmpty())
            SystemdNotifier::status(m_service.startFailure());
    });

    StopSignalPipe stopSignals;
    if (!stopSignals.isValid())
        return false;

    // systemd passes no arguments of its own, so the service gets the process's, at once.
    state.receiveArguments(m_service.arguments());
    state.waitForStart(0);
    // The dispatcher: the start once the application exists, then the first stop signal.
    auto dispatcher = std::make_unique<HandlerThread>([&state, &stopSignals] {
        state.waitForApplication();
        state.control(ControlInternalStart);
        if (stopSignals.wait() != 0)
            state.control(ControlStop);
    });
    dispatcher->start();

    // Standard error of a service normally goes to the journal too; echo only where it goes elsewhere.
    const bool previousEcho = EventSink::echoToStandardError();
    EventSink::setEchoToStandardError(!standardErrorIsJournal());
    EventSink::setCurrent(&startLog);

    std::unique_ptr<SystemdNotifier> notifier;
    const bool ran = state.runApplication([&notifier] {
        notifier = std::make_unique<SystemdNotifier>();
        notifier->startWatchdog();
    });
    notifier.reset();

    // The ended run state lets every control request return, and the wake ends the wait for a
    // signal, so the dispatcher always finishes.
    stopSignals.wake();
    dispatcher->wait();
    dispatcher.reset();
    state.endApplication();

    EventSink::setCurrent(&platformSink);
    EventSink::setEchoToStandardError(previousEcho);
    return ran;
}

} // namespace NVL::Engineering::VK
