#include "WebhookLull.h"

#include <algorithm>
#include <iterator>

namespace NVL::Engineering::VK {

WebhookLull::WebhookLull(std::function<void(bool)> due)
    : m_due(std::move(due))
{
    m_quiet.setSingleShot(true);
    QObject::connect(&m_quiet, &QTimer::timeout, [this] { m_due(false); });
}

void WebhookLull::added()
{
    if (m_seen.empty())
        return;
    if (!m_oldest.isValid())
        m_oldest.start();
    if (m_seen.size() >= Bound || m_oldest.hasExpired(MaxWaitMs)) {
        m_quiet.stop();
        m_due(m_seen.size() >= Bound);
    } else {
        m_quiet.start(QuietMs);
    }
}

std::vector<WebhookLull::Seen> WebhookLull::take(std::size_t most)
{
    const auto end = m_seen.begin() + std::ptrdiff_t(std::min(most, m_seen.size()));
    std::vector<Seen> taken(std::make_move_iterator(m_seen.begin()), std::make_move_iterator(end));
    m_seen.erase(m_seen.begin(), end);
    if (m_seen.empty()) {
        m_oldest.invalidate();
        m_quiet.stop();
    }
    return taken;
}

} // namespace NVL::Engineering::VK
