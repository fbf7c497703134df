#include "ReportsNotStored.h"

#include "LocalTimeText.h"
#include "Log.h"

namespace NVL::Engineering::VK {

void ReportsNotStored::failed(qsizetype count, const QString &reason)
{
    const QDateTime now = QDateTime::currentDateTime();
    if (m_count == 0) {
        m_reason = reason;
        m_since = now;
        m_lastTold = now;
        Log::write(QStringLiteral("%1: reports cannot be stored; they are counted until storing works again")
                                  .arg(reason),
                              LogType::Error);
    }
    m_count += count;
    if (m_lastTold.secsTo(now) >= RepeatSeconds) {
        m_lastTold = now;
        Log::write(QStringLiteral("%1: %2 reports not stored since %3")
                                  .arg(m_reason)
                                  .arg(m_count)
                                  .arg(localTimeText(m_since)),
                              LogType::Error);
    }
}

QString ReportsNotStored::problem() const
{
    if (m_count == 0)
        return QString();
    return QStringLiteral("reports cannot be stored: %1 (%2 not stored since %3)").arg(m_reason).arg(m_count).arg(localTimeText(m_since));
}

void ReportsNotStored::stored()
{
    if (m_count == 0)
        return;
    Log::write(QStringLiteral("%1: %2 reports not stored since %3; storing again")
                              .arg(m_reason)
                              .arg(m_count)
                              .arg(localTimeText(m_since)),
                          LogType::Warning);
    m_count = 0;
}

} // namespace NVL::Engineering::VK
