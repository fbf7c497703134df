#include "SyslogEventSink.h"

#include <syslog.h>

namespace NVL::Engineering::VK {

namespace {

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

} // namespace

void SyslogEventSink::writeEvent(const QString &source, const QString &message, LogType type, quint32, quint16,
                                 const QByteArray &)
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

} // namespace NVL::Engineering::VK
