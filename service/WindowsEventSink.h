#pragma once

#include "EventSink.h"

namespace NVL::Engineering::VK {

struct ServiceManagerApi;

// Writes each entry to the system event log through the event-log operations of "advapi32".
class WindowsEventSink final : public EventSink
{
public:
    explicit WindowsEventSink(const ServiceManagerApi &api);

    void writeEvent(const QString &source, const QString &message, LogType type, quint32 eventId,
                    quint16 category, const QByteArray &data) override;

    // The event-log entry type of a log type.
    static quint16 entryType(LogType type);

private:
    const ServiceManagerApi &m_api;
};

} // namespace NVL::Engineering::VK
