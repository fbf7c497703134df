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
    EventSink::current().writeEvent(source(), oneLine(message), type, eventId, category, data);
}

QString Log::oneLine(const QString &message)
{
    // A database's or mail server's reason may span lines, with tabs and an empty "()" where a driver had
    // nothing to add: one entry is one line, or a journal shows the rest as entries of their own.
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
