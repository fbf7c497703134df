#include "EventSink.h"

#include "ServiceManagerApi.h"
#include "WindowsEventSink.h"

#include <QMutex>

#include <atomic>
#include <cstdio>
#include <syslog.h>

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

int syslogPriority(LogType type)
{
    switch (type) {
    case LogType::Error: return LOG_ERR;
    case LogType::Warning: return LOG_WARNING;
    case LogType::Information: return LOG_INFO;
    case LogType::Success: return LOG_NOTICE;
    }
    return LOG_INFO;
}

// Where there is no event log: one syslog entry per event under the source's name.
class SyslogEventSink final : public EventSink
{
public:
    void writeEvent(const QString &source, const QString &message, LogType type, quint32, quint16,
                    const QByteArray &) override
    {
        const QByteArray text = message.toUtf8();
        // openlog keeps the pointer, so the ident must outlive the call; entries may come from the
        // service binding's threads too.
        const QByteArray newIdent = source.toUtf8();
        const QMutexLocker lock(&m_mutex);
        if (newIdent != m_ident) {
            m_ident = newIdent;
            openlog(m_ident.constData(), LOG_PID, LOG_DAEMON);
        }
        syslog(syslogPriority(type), "%s", text.constData());
    }

private:
    QMutex m_mutex;
    QByteArray m_ident;
};

// The system's log: the event log where the service manager's library resolves, else syslog;
// echoed to standard error while the program runs in the foreground.
class PlatformEventSink final : public EventSink
{
public:
    void writeEvent(const QString &source, const QString &message, LogType type, quint32 eventId,
                    quint16 category, const QByteArray &data) override
    {
        target().writeEvent(source, message, type, eventId, category, data);
        if (echo.load()) {
            std::fprintf(stderr, "%s: %s\n", typeLabel(type), message.toUtf8().constData());
            std::fflush(stderr);
        }
    }

    std::atomic<bool> echo{false};

private:
    EventSink &target()
    {
        if (const ServiceManagerApi *api = ServiceManagerApi::instance()) {
            static WindowsEventSink eventLog(*api);
            return eventLog;
        }
        static SyslogEventSink syslogSink;
        return syslogSink;
    }
};

PlatformEventSink &platformSink()
{
    static PlatformEventSink sink;
    return sink;
}

EventSink *installedSink = nullptr;

} // namespace

EventSink &EventSink::current()
{
    return installedSink ? *installedSink : platformSink();
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
