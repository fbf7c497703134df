#pragma once

#include "WebhookSettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

class QNetworkAccessManager;
class QNetworkReply;

namespace NVL::Engineering::VK {

// One signed POST of one event to one receiver, bounded in time and in what is read of the answer:
// a receiver that hangs, trickles or answers without end costs one connection for timeoutMs at most.
// The receiver's certificate is checked against the system's authorities, or the endpoint's ca= file
// alone. Redirects are not followed: a signed event goes only where the administrator sent it.
class WebhookPost : public QObject
{
    Q_OBJECT

public:
    enum class Outcome { Delivered, HttpError, NetworkError, Timeout, TooLarge };
    struct Result
    {
        Outcome outcome = Outcome::NetworkError;
        int status = 0; // the HTTP status, 0 where none came
        QString detail; // why it failed, for the log
    };
    struct Limits
    {
        int timeoutMs = 15000;
        qint64 answerBytes = 64 * 1024;
    };

    // Starts at once; `finished` comes once, from the event loop, and the post deletes itself after it.
    WebhookPost(QNetworkAccessManager &network, const WebhookEndpoint &endpoint, const QString &eventId,
                const QString &kind, const QByteArray &body, Limits limits, QObject *parent = nullptr);

    // "sha256=<hex>": HMAC-SHA256 of the body with the endpoint's secret.
    static QByteArray signature(const QByteArray &secret, const QByteArray &body);
    // The outcome's label on /metrics.
    static const char *outcomeName(Outcome outcome);

signals:
    void finished(const NVL::Engineering::VK::WebhookPost::Result &result);

private:
    void readAnswer();
    void end(Result result);

    QNetworkReply *m_reply = nullptr;
    QTimer m_deadline;
    qint64 m_limit;
    qint64 m_read = 0;
    bool m_ended = false;
};

} // namespace NVL::Engineering::VK
