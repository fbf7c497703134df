#include "WebhookBacklog.h"

#include "Log.h"

namespace NVL::Engineering::VK {

bool WebhookBacklog::handedBack(qint64 events)
{
    m_events -= events;
    // Well under the bound, so that a flood that goes on does not bring it back at once.
    if (!m_behind || m_events > m_bound / 4)
        return false;
    m_behind = false;
    return true;
}

bool WebhookBacklog::behind(qint64 coming)
{
    if (m_behind || m_events + coming <= m_bound)
        return m_behind;
    m_behind = true;
    // A flood that goes on brings the outbox back here again and again.
    if (!m_logged.isValid() || m_logged.hasExpired(60 * 1000)) {
        m_logged.start();
        Log::warning(QStringLiteral("the webhook outbox is %1 events behind: battery classes and states are told as they "
                                    "stand once it caught up")
                         .arg(m_events + coming));
    }
    return true;
}

} // namespace NVL::Engineering::VK
