#include "WebhookPost.h"

#include "VoltkeepIdentity.h"

#include <QMessageAuthenticationCode>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>

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

WebhookPost::WebhookPost(const WebhookEndpoint &endpoint, Limits limits, QObject *parent)
    : QObject(parent)
    , m_endpoint(endpoint)
    , m_limits(limits)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        end({Outcome::Timeout, 0, QStringLiteral("no whole answer within %1 ms").arg(m_limits.timeoutMs)});
    });
}

WebhookPost::~WebhookPost()
{
    // The socket goes with its parent, after this: nothing it says then may reach a half-gone post.
    if (m_socket) {
        disconnect(m_socket, nullptr, this, nullptr);
        m_socket->abort();
    }
}

void WebhookPost::post(const QString &eventId, const QString &kind, const QByteArray &body)
{
    m_request = request(eventId, kind, body);
    m_answer = WebhookAnswer(m_limits.answerBytes);
    m_active = true;
    m_starting = true;
    m_deadline.start(m_limits.timeoutMs);
    const bool https = m_endpoint.url.scheme() == QLatin1String("https");
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState && (!https || m_socket->isEncrypted())
        && m_socket->bytesAvailable() == 0) {
        m_reused = true;
        send();
    } else {
        connectAnew();
    }
    m_starting = false;
}

QByteArray WebhookPost::request(const QString &eventId, const QString &kind, const QByteArray &body) const
{
    const QUrl &url = m_endpoint.url;
    QByteArray target = url.path(QUrl::FullyEncoded).toUtf8();
    if (target.isEmpty())
        target = "/";
    if (url.hasQuery())
        target += '?' + url.query(QUrl::FullyEncoded).toUtf8();
    QByteArray host = url.host(QUrl::FullyEncoded).toUtf8();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (url.port() >= 0)
        host += ':' + QByteArray::number(url.port());
    QByteArray head = "POST " + target + " HTTP/1.1\r\nHost: " + host
                      + "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size())
                      + "\r\nUser-Agent: " + Identity::ServiceName + '/' + Identity::VersionText
                      + "\r\nX-Voltkeep-Event-Id: " + eventId.toUtf8() + "\r\nX-Voltkeep-Event: " + kind.toUtf8()
                      + "\r\nX-Voltkeep-Signature: " + signature(m_endpoint.secret, body) + "\r\n";
    if (!url.userInfo().isEmpty())
        head += "Authorization: Basic " + (url.userName() + QLatin1Char(':') + url.password()).toUtf8().toBase64() + "\r\n";
    return head + "\r\n" + body;
}

void WebhookPost::connectAnew()
{
    dropConnection();
    m_reused = false;
    m_tlsProblem.clear();
    m_socket = new QSslSocket(this);
    m_socket->setReadBufferSize(WebhookAnswer::HeadBytes * 4); // an answer without end waits in the kernel, not here
    connect(m_socket, &QSslSocket::readyRead, this, &WebhookPost::readAnswer);
    connect(m_socket, &QSslSocket::disconnected, this, [this] { broken(QString()); });
    connect(m_socket, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::RemoteHostClosedError)
            broken(QString());
        else
            broken(m_socket->errorString() + (m_tlsProblem.isEmpty() ? QString() : QStringLiteral(": ") + m_tlsProblem));
    });
    const QString host = m_endpoint.url.host();
    if (m_endpoint.url.scheme() == QLatin1String("https")) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        // The file alone: a receiver with a private authority is not also trusted on the system's word.
        if (!m_endpoint.caFile.isEmpty())
            tls.setCaCertificates(QSslCertificate::fromPath(m_endpoint.caFile));
        m_socket->setSslConfiguration(tls);
        connect(m_socket, &QSslSocket::encrypted, this, &WebhookPost::send);
        connect(m_socket, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &errors) {
            QStringList texts;
            for (const QSslError &error : errors)
                texts << error.errorString();
            m_tlsProblem = texts.join(QStringLiteral("; "));
        });
        m_socket->connectToHostEncrypted(host, quint16(m_endpoint.url.port(443)));
    } else {
        connect(m_socket, &QSslSocket::connected, this, &WebhookPost::send);
        m_socket->connectToHost(host, quint16(m_endpoint.url.port(80)));
    }
}

void WebhookPost::send()
{
    m_socket->write(m_request);
}

void WebhookPost::readAnswer()
{
    if (!m_active) {
        dropConnection(); // bytes nobody asked for: the connection is out of step
        return;
    }
    char chunk[16384];
    while (m_active && m_socket->bytesAvailable() > 0) {
        const qint64 n = m_socket->read(chunk, sizeof chunk);
        if (n <= 0)
            return;
        switch (m_answer.feed(chunk, n)) {
        case WebhookAnswer::State::Reading:
            break;
        case WebhookAnswer::State::Complete:
            answered();
            break;
        case WebhookAnswer::State::TooLarge:
            end({Outcome::TooLarge, m_answer.status(), m_answer.problem()});
            break;
        case WebhookAnswer::State::Malformed:
            end({Outcome::NetworkError, m_answer.status(), m_answer.problem()});
            break;
        }
    }
}

void WebhookPost::broken(const QString &why)
{
    if (!m_active) {
        dropConnection(); // the receiver closed a connection kept for the next post
        return;
    }
    readAnswer();
    if (!m_active)
        return;
    if (m_reused && !m_answer.started()) {
        connectAnew(); // the receiver closed the kept connection as the post went out: once more, anew
    } else if (m_answer.closed() == WebhookAnswer::State::Complete) {
        answered();
    } else {
        end({Outcome::NetworkError, m_answer.status(), why.isEmpty() ? m_answer.problem() : why});
    }
}

void WebhookPost::answered()
{
    const int status = m_answer.status();
    if (status >= 200 && status < 300)
        end({Outcome::Delivered, status, QString()}, m_answer.keepAlive());
    else
        end({Outcome::HttpError, status, QStringLiteral("HTTP %1").arg(status)}, m_answer.keepAlive());
}

void WebhookPost::end(const Result &result, bool keep)
{
    if (!m_active)
        return;
    m_active = false;
    m_deadline.stop();
    if (!keep)
        dropConnection();
    if (m_starting)
        QMetaObject::invokeMethod(this, [this, result] { emit finished(result); }, Qt::QueuedConnection);
    else
        emit finished(result);
}

void WebhookPost::dropConnection()
{
    if (!m_socket)
        return;
    disconnect(m_socket, nullptr, this, nullptr);
    m_socket->abort();
    m_socket->deleteLater();
    m_socket = nullptr;
}

} // namespace NVL::Engineering::VK
