#include "WebhookCourier.h"

#include "Log.h"
#include "WebhookWriter.h"

#include <QDateTime>

namespace NVL::Engineering::VK {

const char *WebhookCourier::outcomeName(int outcome)
{
    return outcome < OutcomeCount - 1 ? WebhookPost::outcomeName(WebhookPost::Outcome(outcome)) : "given_up";
}

WebhookCourier::WebhookCourier(const WebhookEndpoint &endpoint, const WebhookSettings &bounds, WebhookWriter &outbox,
                               QNetworkAccessManager &network, Counted counted, QObject *parent)
    : QObject(parent)
    , m_endpoint(endpoint)
    , m_bounds(bounds)
    , m_outbox(outbox)
    , m_network(network)
    , m_counted(std::move(counted))
{
    m_bounds.endpoints.clear();
    m_wait.setSingleShot(true);
    connect(&m_wait, &QTimer::timeout, this, &WebhookCourier::wake);
}

void WebhookCourier::wake()
{
    if (m_busy || m_wait.isActive())
        return;
    m_busy = true;
    m_outbox.askHead(m_endpoint.name);
}

void WebhookCourier::headFound(const std::optional<WebhookOutbox::Entry> &head)
{
    m_busy = false;
    if (!head)
        return;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    // Kept past its time while the server was stopped, or the receiver long out of vk.cfg: told no more.
    if (now - head->event.created > m_bounds.retryForSeconds) {
        giveUp(head->row, head->attempts, head->event.created, head->event.id,
               {WebhookPost::Outcome::NetworkError, 0, QStringLiteral("not posted within retryForSeconds")});
        return;
    }
    if (head->nextTry > now) {
        m_wait.start(int(qMin<qint64>(head->nextTry - now, 24 * 3600) * 1000));
        return;
    }
    m_busy = true;
    const WebhookPost::Limits limits{m_bounds.timeoutSeconds * 1000, m_bounds.answerBytes};
    auto *post = new WebhookPost(m_network, m_endpoint, head->event.id, head->event.kind, head->event.body, limits, this);
    connect(post, &WebhookPost::finished, this,
            [this, row = head->row, attempts = head->attempts, created = head->event.created,
             id = head->event.id](const WebhookPost::Result &result) { posted(row, attempts, created, id, result); });
}

void WebhookCourier::posted(qint64 row, int attempts, qint64 created, const QString &eventId, const WebhookPost::Result &result)
{
    m_busy = false;
    m_counted(m_endpoint.name, int(result.outcome));
    const QString what = QStringLiteral("Webhook %1: event %2").arg(m_endpoint.name, eventId);
    if (result.outcome == WebhookPost::Outcome::Delivered) {
        m_outbox.remove(row);
        Log::information(what + QStringLiteral(" delivered (HTTP %1)").arg(result.status));
    } else {
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const int tried = attempts + 1;
        const qint64 pause = qMin<qint64>(qint64(m_bounds.retryFirstSeconds) << qMin(tried - 1, 20), m_bounds.retryMostSeconds);
        if (now + pause - created > m_bounds.retryForSeconds) {
            giveUp(row, tried, created, eventId, result);
            return;
        }
        m_outbox.postpone(row, tried, now + pause);
        Log::warning(what + QStringLiteral(" not delivered: %1 (%2); tried again in %3 s")
                                .arg(QLatin1String(WebhookPost::outcomeName(result.outcome)), result.detail)
                                .arg(pause));
    }
    wake();
}

void WebhookCourier::giveUp(qint64 row, int attempts, qint64 created, const QString &eventId, const WebhookPost::Result &result)
{
    m_outbox.remove(row);
    m_counted(m_endpoint.name, OutcomeCount - 1);
    Log::error(QStringLiteral("Webhook %1: event %2 given up after %3 attempt(s) over %4 s: %5 (%6)")
                   .arg(m_endpoint.name, eventId)
                   .arg(attempts)
                   .arg(QDateTime::currentSecsSinceEpoch() - created)
                   .arg(QLatin1String(WebhookPost::outcomeName(result.outcome)), result.detail));
    wake();
}

} // namespace NVL::Engineering::VK
