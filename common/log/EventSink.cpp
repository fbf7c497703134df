#include "EventSink.h"

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

// Entries come from other threads too (the mail worker, the service binding's).
std::atomic<EventSink *> installedSink{nullptr};
std::atomic<EventSink *> systemLog{nullptr};

// The system's log, echoed to standard error while the program runs in the foreground.
class SystemEventSink final : public EventSink
{
public:
    void writeEvent(const QString &source, const QString &message, LogType type, quint32 eventId,
                    quint16 category, const QByteArray &data) override
    {
        EventSink *const log = systemLog.load();
        if (log)
            log->writeEvent(source, message, type, eventId, category, data);
        // Without a system log, standard error is all an administrator has.
        if (!log || echo.load()) {
            std::fprintf(stderr, "%s: %s\n", typeLabel(type), message.toUtf8().constData());
            std::fflush(stderr);
        }
    }

    std::atomic<bool> echo{false};
};

SystemEventSink &systemSink()
{
    static SystemEventSink sink;
    return sink;
}

} // namespace

EventSink &EventSink::current()
{
    EventSink *const installed = installedSink.load();
    return installed ? *installed : systemSink();
}

void EventSink::setCurrent(EventSink *sink)
{
    installedSink = sink;
}

void EventSink::setSystemLog(EventSink *log)
{
    systemLog = log;
}

void EventSink::setEchoToStandardError(bool echo)
{
    systemSink().echo = echo;
}

bool EventSink::echoToStandardError()
{
    return systemSink().echo;
}

} // namespace NVL::Engineering::VK
