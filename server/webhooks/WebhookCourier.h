#pragma once

#include "WebhookOutbox.h"
#include "WebhookPost.h"
#include "WebhookSettings.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <functional>

class QNetworkAccessManager;

namespace NVL::Engineering::VK {

class WebhookWriter;

// Posts one receiver's events from the outbox, oldest first and one at a time: the next waits until the
// one before is delivered or given up, so a receiver sees them in the order they happened. A failed post
// is tried again after a pause that doubles up to retryMostSeconds, until retryForSeconds after the
// event; then it is given up with an Error in the log. Nothing here waits: the radios' loop goes on.
class WebhookCourier : public QObject
{
public:
    static constexpr int OutcomeCount = 6; // WebhookPost's outcomes, then "given_up"
    using Counted = std::function<void(const QString &endpoint, int outcome)>;
    using Clock = std::function<qint64()>; // seconds since the epoch

    WebhookCourier(const WebhookEndpoint &endpoint, const WebhookSettings &bounds, WebhookWriter &outbox,
                   QNetworkAccessManager &network, Counted counted, QObject *parent = nullptr);

    // Events were added to the outbox: asks for the oldest unless one is under way or waiting for its time.
    void wake();
    // The outbox's answer: this receiver's oldest event, if any.
    void headFound(const std::optional<WebhookOutbox::Entry> &head);

    static const char *outcomeName(int outcome);

private:
    void posted(qint64 row, int attempts, qint64 created, const QString &eventId, const WebhookPost::Result &result);
    void giveUp(qint64 row, int attempts, qint64 created, const QString &eventId, const WebhookPost::Result &result);

    WebhookEndpoint m_endpoint;
    WebhookSettings m_bounds; // its endpoints left empty
    WebhookWriter &m_outbox;
    QNetworkAccessManager &m_network;
    Counted m_counted;
    QTimer m_wait;
    bool m_busy = false; // asking for the head, or posting it
};

} // namespace NVL::Engineering::VK
