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
                               Counted counted, QObject *parent)
    : QObject(parent)
    , m_endpoint(endpoint)
    , m_bounds(bounds)
    , m_outbox(outbox)
    , m_counted(std::move(counted))
    , m_post(new WebhookPost(endpoint, {bounds.timeoutSeconds * 1000, bounds.answerBytes}, this))
{
    m_bounds.endpoints.clear();
    m_wait.setSingleShot(true);
    connect(&m_wait, &QTimer::timeout, this, &WebhookCourier::wake);
    connect(m_post, &WebhookPost::finished, this, &WebhookCourier::posted);
}

WebhookCourier::~WebhookCourier()
{
    strike();
}

void WebhookCourier::wake()
{
    if (m_busy || m_wait.isActive())
        return;
    if (!m_queue.empty()) {
        next();
        return;
    }
    strike(); // first: the outbox answers in turn, so what was delivered is not asked for again
    m_busy = true;
    m_outbox.askHeads(m_endpoint.name, Batch);
}

void WebhookCourier::headsFound(const QList<WebhookOutbox::Entry> &heads)
{
    m_busy = false;
    m_queue.assign(heads.begin(), heads.end());
    if (!m_queue.empty())
        next();
}

void WebhookCourier::next()
{
    if (m_queue.empty()) {
        wake();
        return;
    }
    const WebhookOutbox::Entry &head = m_queue.front();
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    // Kept past its time while the server was stopped, or the receiver long out of vk.cfg: told no more.
    if (now - head.event.created > m_bounds.retryForSeconds) {
        giveUp(head, head.attempts, {WebhookPost::Outcome::NetworkError, 0, QStringLiteral("not posted within retryForSeconds")});
        return;
    }
    if (head.nextTry > now) {
        m_queue.clear(); // asked for again once the pause is over
        m_wait.start(int(qMin<qint64>(head.nextTry - now, 24 * 3600) * 1000));
        return;
    }
    m_busy = true;
    m_post->post(head.event.id, head.event.kind, head.event.body);
}

void WebhookCourier::posted(const WebhookPost::Result &result)
{
    m_busy = false;
    m_counted(m_endpoint.name, int(result.outcome));
    const WebhookOutbox::Entry &head = m_queue.front();
    if (result.outcome == WebhookPost::Outcome::Delivered) {
        m_struck << head.row;
        if (m_delivered.count++ == 0)
            m_delivered.oldest = head.event.id;
        m_delivered.newest = head.event.id;
        if (!m_delivered.statuses.contains(result.status))
            m_delivered.statuses << result.status;
        m_queue.pop_front();
        next();
        return;
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const int tried = head.attempts + 1;
    const qint64 pause = qMin<qint64>(qint64(m_bounds.retryFirstSeconds) << qMin(tried - 1, 20), m_bounds.retryMostSeconds);
    if (now + pause - head.event.created > m_bounds.retryForSeconds) {
        giveUp(head, tried, result);
        return;
    }
    strike();
    Log::warning(QStringLiteral("Webhook %1: event %2 not delivered: %3 (%4); tried again in %5 s")
                     .arg(m_endpoint.name, head.event.id, QLatin1String(WebhookPost::outcomeName(result.outcome)), result.detail)
                     .arg(pause));
    m_outbox.postpone(head.row, tried, now + pause);
    m_queue.clear(); // the events behind it wait for it
    wake();
}

void WebhookCourier::giveUp(const WebhookOutbox::Entry &head, int attempts, const WebhookPost::Result &result)
{
    strike();
    m_struck << head.row;
    m_counted(m_endpoint.name, OutcomeCount - 1);
    Log::error(QStringLiteral("Webhook %1: event %2 given up after %3 attempt(s) over %4 s: %5 (%6)")
                   .arg(m_endpoint.name, head.event.id)
                   .arg(attempts)
                   .arg(QDateTime::currentSecsSinceEpoch() - head.event.created)
                   .arg(QLatin1String(WebhookPost::outcomeName(result.outcome)), result.detail));
    m_queue.pop_front();
    next();
}

void WebhookCourier::strike()
{
    if (!m_struck.isEmpty())
        m_outbox.remove(std::exchange(m_struck, {}));
    const Delivered delivered = std::exchange(m_delivered, {});
    if (delivered.count == 0)
        return;
    QStringList statuses;
    for (const int status : delivered.statuses)
        statuses << QString::number(status);
    const QString http = QStringLiteral("(HTTP %1)").arg(statuses.join(QStringLiteral(", ")));
    if (delivered.count == 1)
        Log::information(QStringLiteral("Webhook %1: event %2 delivered %3").arg(m_endpoint.name, delivered.newest, http));
    else
        Log::information(QStringLiteral("Webhook %1: %2 events delivered %3, the oldest %4, the newest %5")
                             .arg(m_endpoint.name)
                             .arg(delivered.count)
                             .arg(http, delivered.oldest, delivered.newest));
}

} // namespace NVL::Engineering::VK
