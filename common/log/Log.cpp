#include "Log.h"

#include "EventSink.h"

#include <QMutex>
#include <QMutexLocker>

namespace NVL::Engineering::VK {

namespace {

// Entries come from other threads too; the name changes only while a service is made or ends.
QMutex sourceMutex;
QString sourceName;

} // namespace

void Log::write(const QString &message, LogType type, quint32 eventId, quint16 category, const QByteArray &data)
{
    EventSink::current().writeEvent(source(), message, type, eventId, category, data);
}

void Log::setSource(const QString &name)
{
    const QMutexLocker lock(&sourceMutex);
    sourceName = name;
}

QString Log::source()
{
    const QMutexLocker lock(&sourceMutex);
    return sourceName.isEmpty() ? QStringLiteral("Voltkeep") : sourceName;
}

} // namespace NVL::Engineering::VK
