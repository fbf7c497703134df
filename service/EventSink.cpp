#include "EventSink.h"

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

// Linux stand-in for the Windows event log: one syslog entry per event under the source's name.
class SyslogEventSink final : public EventSink
{
public:
    void writeEvent(const QString &source, const QString &message, LogType type, quint32, quint16,
                    const QByteArray &) override
    {
        const QByteArray text = message.toUtf8();
        // openlog keeps the pointer, so the ident must outlive the call.
        const QByteArray newIdent = source.toUtf8();
        if (newIdent != ident) {
            ident = newIdent;
            openlog(ident.constData(), LOG_PID, LOG_DAEMON);
        }
        syslog(syslogPriority(type), "%s", text.constData());
        if (echo) {
            std::fprintf(stderr, "%s: %s\n", typeLabel(type), text.constData());
            std::fflush(stderr);
        }
    }

    QByteArray ident;
    bool echo = false;
};

SyslogEventSink &platformSink()
{
    static SyslogEventSink sink;
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
