#pragma once

#include "WebhookAnswer.h"
#include "WebhookSettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

class QSslSocket;

namespace NVL::Engineering::VK {

// Signed POSTs of events to one receiver, one at a time, over one HTTP/1.1 connection that is kept while
// the receiver keeps it: an event costs a write and a read on the event loop, not a connection. Each post
// is bounded in time and in what is read of the answer: a receiver that hangs, trickles or answers without
// end costs timeoutMs at most. The receiver's certificate is checked against the system's authorities, or
// the endpoint's ca= file alone. Redirects are not followed: a signed event goes only where the
// administrator sent it.
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

    WebhookPost(const WebhookEndpoint &endpoint, Limits limits, QObject *parent = nullptr);
    ~WebhookPost() override;

    // Starts posting one event; `finished` comes once for it, from the event loop. The next post waits
    // for it.
    void post(const QString &eventId, const QString &kind, const QByteArray &body);

    // "sha256=<hex>": HMAC-SHA256 of the body with the endpoint's secret.
    static QByteArray signature(const QByteArray &secret, const QByteArray &body);
    // The outcome's label on /metrics.
    static const char *outcomeName(Outcome outcome);

signals:
    void finished(const NVL::Engineering::VK::WebhookPost::Result &result);

private:
    QByteArray request(const QString &eventId, const QString &kind, const QByteArray &body) const;
    void connectAnew();
    void send();
    void readAnswer();
    void broken(const QString &why);
    void answered();
    void end(const Result &result, bool keep = false);
    void dropConnection();

    WebhookEndpoint m_endpoint;
    Limits m_limits;
    QSslSocket *m_socket = nullptr;
    QTimer m_deadline;
    QByteArray m_request;
    WebhookAnswer m_answer;
    bool m_active = false;   // a post is under way
    bool m_reused = false;   // it went over a connection an earlier post left open
    bool m_starting = false; // within post(): an end then is told from the event loop
    QString m_tlsProblem;
};

} // namespace NVL::Engineering::VK
