#include "EventSink.h"

#include "ServiceManagerApi.h"
#include "WindowsEventSink.h"
#ifdef VK_HAVE_SYSLOG
#include "SyslogEventSink.h"
#endif

#include <atomic>
#include <cstdio>

namespace NVL::Engineering::VK {

namespace {

const char *typeLabel(LogType type)
{
    switch (type) {
    case LogType::Success: return "Success";
    case LogType::Error: return "Error";
    case LogType::Warning: return "Warning";
    case LogType::Information: return "Information";
    }
    return "Event";
}

// The system's log: the event log where the service manager's library resolves, else syslog;
// echoed to standard error while the program runs in the foreground.
class PlatformEventSink final : public EventSink
{
public:
    void writeEvent(const QString &source, const QString &message, LogType type, quint32 eventId,
                    quint16 category, const QByteArray &data) override
    {
        EventSink *log = target();
        if (log)
            log->writeEvent(source, message, type, eventId, category, data);
        // Without a system log, standard error is all an administrator has.
        if (!log || echo.load()) {
            std::fprintf(stderr, "%s: %s\n", typeLabel(type), message.toUtf8().constData());
            std::fflush(stderr);
        }
    }

    std::atomic<bool> echo{false};

private:
    // nullptr where the system has neither.
    EventSink *target()
    {
        if (const ServiceManagerApi *api = ServiceManagerApi::instance()) {
            static WindowsEventSink eventLog(*api);
            return &eventLog;
        }
#ifdef VK_HAVE_SYSLOG
        static SyslogEventSink syslogSink;
        return &syslogSink;
#else
        return nullptr;
#endif
    }
};

PlatformEventSink &platformSink()
{
    static PlatformEventSink sink;
    return sink;
}

// Entries come from other threads too (the mail worker, the service binding's).
std::atomic<EventSink *> installedSink{nullptr};

} // namespace

EventSink &EventSink::current()
{
    EventSink *const installed = installedSink.load();
    return installed ? *installed : platformSink();
}

void EventSink::setCurrent(EventSink *sink)
{
    installedSink = sink;
}

void EventSink::setEchoToStandardError(bool echo)
{
    platformSink().echo = echo;
}

bool EventSink::echoToStandardError()
{
    return platformSink().echo;
}

} // namespace NVL::Engineering::VK
