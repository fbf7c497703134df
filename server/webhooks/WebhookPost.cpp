#include "WebhookPost.h"

#include "VoltkeepIdentity.h"

#include <QMessageAuthenticationCode>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>

namespace NVL::Engineering::VK {

QByteArray WebhookPost::signature(const QByteArray &secret, const QByteArray &body)
{
    return QByteArrayLiteral("sha256=") + QMessageAuthenticationCode::hash(body, secret, QCryptographicHash::Sha256).toHex();
}

const char *WebhookPost::outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Delivered: return "delivered";
    case Outcome::HttpError: return "http_error";
    case Outcome::NetworkError: return "network_error";
    case Outcome::Timeout: return "timeout";
    case Outcome::TooLarge: return "too_large";
    }
    return "network_error";
}

WebhookPost::WebhookPost(QNetworkAccessManager &network, const WebhookEndpoint &endpoint, const QString &eventId,
                         const QString &kind, const QByteArray &body, Limits limits, QObject *parent)
    : QObject(parent)
    , m_limit(limits.answerBytes)
{
    QNetworkRequest request(endpoint.url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArray(Identity::ServiceName) + '/' + Identity::VersionText);
    request.setRawHeader("X-Voltkeep-Event-Id", eventId.toUtf8());
    request.setRawHeader("X-Voltkeep-Event", kind.toUtf8());
    request.setRawHeader("X-Voltkeep-Signature", signature(endpoint.secret, body));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    if (!endpoint.caFile.isEmpty() && endpoint.url.scheme() == QLatin1String("https")) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        // The file alone: a receiver with a private authority is not also trusted on the system's word.
        tls.setCaCertificates(QSslCertificate::fromPath(endpoint.caFile));
        request.setSslConfiguration(tls);
    }
    m_reply = network.post(request, body);
    m_reply->setParent(this);
    m_reply->setReadBufferSize(qMin<qint64>(m_limit, 1 << 20));
    connect(m_reply, &QNetworkReply::readyRead, this, &WebhookPost::readAnswer);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, [this] {
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > m_limit)
            end({Outcome::TooLarge, m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                 QStringLiteral("the answer announced %1 bytes, more than %2").arg(length.toLongLong()).arg(m_limit)});
    });
    connect(m_reply, &QNetworkReply::finished, this, [this] {
        readAnswer();
        if (m_ended)
            return;
        const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status >= 200 && status < 300)
            end({Outcome::Delivered, status, QString()});
        else if (status > 0)
            end({Outcome::HttpError, status, QStringLiteral("HTTP %1").arg(status)});
        else
            end({Outcome::NetworkError, 0, m_reply->errorString()});
    });
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this, timeout = limits.timeoutMs] {
        end({Outcome::Timeout, 0, QStringLiteral("no whole answer within %1 ms").arg(timeout)});
    });
    m_deadline.start(limits.timeoutMs);
}

void WebhookPost::readAnswer()
{
    // Read and dropped: only the status counts, and an endless answer must not grow a buffer.
    char sink[16384];
    while (!m_ended && m_reply->bytesAvailable() > 0) {
        const qint64 n = m_reply->read(sink, sizeof sink);
        if (n <= 0)
            break;
        m_read += n;
        if (m_read > m_limit)
            end({Outcome::TooLarge, m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                 QStringLiteral("the answer ran past %1 bytes").arg(m_limit)});
    }
}

void WebhookPost::end(Result result)
{
    if (m_ended)
        return;
    m_ended = true;
    m_deadline.stop();
    if (!m_reply->isFinished())
        m_reply->abort();
    emit finished(result);
    deleteLater();
}

} // namespace NVL::Engineering::VK
