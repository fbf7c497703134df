#include "Log.h"

#include "EventSink.h"

#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>

namespace NVL::Engineering::VK {

namespace {

// Entries come from other threads too; the name changes only while a service is made or ends.
QMutex sourceMutex;
QString sourceName;

} // namespace

void Log::write(const QString &message, LogType type, quint32 eventId, quint16 category, const QByteArray &data)
{
    const bool trouble = type == LogType::Warning || type == LogType::Error;
    EventSink::current().writeEvent(source(), trouble ? oneLine(message) : message, type, eventId, category, data);
}

QString Log::oneLine(const QString &message)
{
    // A database's or mail server's reason may span lines, with tabs and an empty "()" where a driver had
    // nothing to add: a Warning or Error is one line, or a journal shows the rest as entries of their own
    // (the start's banner keeps its two lines).
    if (!message.contains(QLatin1Char('\n')) && !message.contains(QLatin1Char('\r')) && !message.contains(QLatin1Char('\t'))
        && !message.contains(QLatin1String(" ()")))
        return message;
    QString line = message;
    line.replace(QLatin1String(" ()"), QString());
    static const QRegularExpression breaks(QStringLiteral("\\s*[\\r\\n\\t]+\\s*"));
    line.replace(breaks, QStringLiteral(" "));
    return line.trimmed();
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
