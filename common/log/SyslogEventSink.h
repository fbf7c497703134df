#pragma once

#include "EventSink.h"

#include <QMutex>

namespace NVL::Engineering::VK {

// Where there is no event log: one syslog entry per event under the source's name. Built only on
// systems that have syslog.
class SyslogEventSink final : public EventSink
{
public:
    void writeEvent(const QString &source, const QString &message, LogType type, quint32 eventId,
                    quint16 category, const QByteArray &data) override;

private:
    QMutex m_mutex;
    QByteArray m_ident;
};

} // namespace NVL::Engineering::VK
