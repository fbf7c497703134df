#pragma once

#include "WebhookOutbox.h"
#include "WebhookPost.h"
#include "WebhookSettings.h"

#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>

namespace NVL::Engineering::VK {

class WebhookWriter;

// Posts one receiver's events from the outbox, oldest first and one at a time: the next waits until the
// one before is delivered or given up, so a receiver sees them in the order they happened. A failed post
// is tried again after a pause that doubles up to retryMostSeconds, until retryForSeconds after the
// event; then it is given up with an Error in the log. Nothing here waits: the radios' loop goes on. The
// outbox is asked for a few events at a time and told of their deliveries together, so that a busy
// receiver costs the outbox's thread a question per few events, not two per event, and the log a line per
// few deliveries: a fleet's burst of events must not run the journal into its rate limit, which would
// drop the server's other entries with them.
class WebhookCourier : public QObject
{
public:
    static constexpr int OutcomeCount = 6; // WebhookPost's outcomes, then "given_up"
    using Counted = std::function<void(const QString &endpoint, int outcome)>;

    static constexpr int Batch = 64; // events asked for at a time

    WebhookCourier(const WebhookEndpoint &endpoint, const WebhookSettings &bounds, WebhookWriter &outbox, Counted counted,
                   QObject *parent = nullptr);
    // Strikes and logs what was delivered; before the outbox closes.
    ~WebhookCourier() override;

    // Events were added to the outbox: asks for the oldest unless one is under way or waiting for its time.
    void wake();
    // The outbox's answer: this receiver's oldest events, if any.
    void headsFound(const QList<WebhookOutbox::Entry> &heads);

    static const char *outcomeName(int outcome);

private:
    void next();
    void posted(const WebhookPost::Result &result);
    void giveUp(const WebhookOutbox::Entry &head, int attempts, const WebhookPost::Result &result);
    void strike();

    WebhookEndpoint m_endpoint;
    WebhookSettings m_bounds; // its endpoints left empty
    WebhookWriter &m_outbox;
    Counted m_counted;
    WebhookPost *m_post;
    QTimer m_wait;
    bool m_busy = false;                // asking for events, or posting one
    std::deque<WebhookOutbox::Entry> m_queue; // the oldest events, the one being posted first
    QList<qint64> m_struck;             // delivered or given up, not yet struck from the outbox
    struct Delivered
    {
        int count = 0;
        QString oldest, newest;
        QList<int> statuses;
    } m_delivered; // since the last strike, for its line in the log
};

} // namespace NVL::Engineering::VK
