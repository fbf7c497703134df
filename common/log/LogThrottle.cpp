#include "LogThrottle.h"

#include "Log.h"

namespace NVL::Engineering::VK {

LogThrottle::LogThrottle(QObject *parent)
    : QObject(parent)
{
    m_window.setInterval(WindowMs);
    connect(&m_window, &QTimer::timeout, this, &LogThrottle::endWindow);
}

void LogThrottle::log(const QString &sender, const QString &message, LogType type)
{
    static const QString others = QStringLiteral("other senders");
    const QString &key = m_shares.size() < MaxSenders || m_shares.contains(sender) ? sender : others;
    Share &share = m_shares[key];
    share.type = type;
    if (!m_window.isActive())
        m_window.start();
    if (share.logged < EntriesPerWindow) {
        ++share.logged;
        Log::write(message, type);
    } else {
        ++share.held;
        share.lastHeld = message;
    }
}

void LogThrottle::endWindow()
{
    for (auto it = m_shares.cbegin(); it != m_shares.cend(); ++it) {
        if (it.value().held > 0)
            Log::write(QStringLiteral("%1 more from %2 in the last minute were not logged, the last: %3")
                           .arg(it.value().held)
                           .arg(it.key(), it.value().lastHeld),
                       it.value().type);
    }
    m_shares.clear();
    m_window.stop();
}

} // namespace NVL::Engineering::VK
