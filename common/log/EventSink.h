#pragma once

#include "LogType.h"

#include <QByteArray>
#include <QString>

namespace NVL::Engineering::VK {

// Where event-log entries go. The system's log is whatever the service host installed; tests and tools
// may install their own sink to observe entries in-process.
class EventSink
{
public:
    virtual ~EventSink() = default;
    virtual void writeEvent(const QString &source, const QString &message, LogType type, quint32 eventId,
                            quint16 category, const QByteArray &data) = 0;

    // The sink in force: the one a caller installed, otherwise the system's log.
    static EventSink &current();
    // Installs a sink that the caller keeps alive; nullptr goes back to the system's log.
    static void setCurrent(EventSink *sink);

    // The system's log, kept alive by whoever installs it; without one, entries go to standard error.
    static void setSystemLog(EventSink *log);

    // While the program runs in the foreground, every entry is also echoed to standard error.
    static void setEchoToStandardError(bool echo);
    static bool echoToStandardError();
};

} // namespace NVL::Engineering::VK
