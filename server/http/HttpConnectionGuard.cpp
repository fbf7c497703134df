#include "HttpConnectionGuard.h"

#include <QTcpSocket>

#include <algorithm>

namespace NVL::Engineering::VK {

namespace {

constexpr int ClosingGraceMs = 2000;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 408: return QByteArrayLiteral("Request Timeout");
    case 413: return QByteArrayLiteral("Content Too Large");
    case 414: return QByteArrayLiteral("URI Too Long");
    case 431: return QByteArrayLiteral("Request Header Fields Too Large");
    }
    return QByteArrayLiteral("Bad Request");
}

// The value of a header in a head, lower case; empty when absent.
QByteArray headerValue(const QList<QByteArray> &lines, const QByteArray &name)
{
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0 && lines[i].left(colon).trimmed().toLower() == name)
            return lines[i].mid(colon + 1).trimmed().toLower();
    }
    return {};
}

} // namespace

HttpConnectionGuard::HttpConnectionGuard(QTcpSocket *socket, const HttpLimits &limits, const AnswerStreamer *streamer)
    : QObject(socket)
    , m_socket(socket)
    , m_limits(limits)
    , m_streamer(streamer)
{
    socket->setReadBufferSize(ReadBufferBytes);
    m_headTimer.setSingleShot(true);
    m_headTimer.setInterval(limits.headSeconds * 1000);
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(limits.idleSeconds * 1000);
    connect(&m_headTimer, &QTimer::timeout, this,
            [this] { refuse(408, QByteArrayLiteral("the request head did not come whole in time")); });
    connect(&m_idleTimer, &QTimer::timeout, this, [this] { m_socket->abort(); });
    // Connected before the HTTP server takes the socket, so this runs first on every arrival.
    connect(socket, &QTcpSocket::readyRead, this, &HttpConnectionGuard::bytesArrived);
    connect(socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_stream) {
            // Bytes leave: the client reads. One that stops reading is closed by the idle time.
            m_idleTimer.start();
            feedStream();
        } else if (!m_inHead && !m_ending) {
            m_idleTimer.start();
        }
    });
    m_idleTimer.start();
}

void HttpConnectionGuard::bytesArrived()
{
    if (m_ending) {
        m_socket->readAll(); // nothing more is answered
        return;
    }
    // The HTTP server reads everything that arrived once this returns: a peek sees each byte once.
    const QByteArray chunk = m_socket->peek(m_socket->bytesAvailable());
    qsizetype pos = 0;
    while (pos < chunk.size() && !m_ending) {
        if (m_bodyLeft > 0) {
            const qsizetype take = qsizetype(std::min<qint64>(m_bodyLeft, chunk.size() - pos));
            pos += take;
            m_bodyLeft -= take;
            if (m_bodyLeft == 0)
                requestComplete();
            continue;
        }
        if (!m_inHead) {
            m_inHead = true;
            m_head.clear();
            m_idleTimer.stop();
            m_headTimer.start();
        }
        const qsizetype before = m_head.size();
        const qsizetype take = std::min<qsizetype>(qsizetype(m_limits.headerBytes) + 4 - before, chunk.size() - pos);
        m_head.append(chunk.constData() + pos, take);
        const qsizetype end = m_head.indexOf("\r\n\r\n", std::max<qsizetype>(0, before - 3));
        const qsizetype lineEnd = m_head.indexOf('\n');
        if ((lineEnd < 0 ? m_head.size() : lineEnd) > m_limits.requestLineBytes) {
            refuse(414, QByteArrayLiteral("the request line is longer than %1 bytes").replace("%1", QByteArray::number(m_limits.requestLineBytes)));
            return;
        }
        if ((end < 0 ? m_head.size() : end) > m_limits.headerBytes) {
            refuse(431, QByteArrayLiteral("the request head is larger than %1 bytes").replace("%1", QByteArray::number(m_limits.headerBytes)));
            return;
        }
        if (end < 0) {
            pos += take;
            continue;
        }
        pos += end + 4 - before;
        m_inHead = false;
        headComplete(m_head.left(end));
    }
}

void HttpConnectionGuard::headComplete(const QByteArray &head)
{
    const QList<QByteArray> lines = head.split('\n');
    HttpHead parsed = HttpHead::parse(lines);
    parsed.peer = m_socket->peerAddress();
    const QByteArray length = headerValue(lines, QByteArrayLiteral("content-length"));
    bool lengthOk = false;
    const qint64 bodyBytes = length.isEmpty() ? 0 : length.toLongLong(&lengthOk);
    const bool signIn = parsed.method == "POST" && parsed.url.path() == QLatin1String("/signin");
    if ((!length.isEmpty() && (!lengthOk || bodyBytes < 0)) || (bodyBytes > 0 && !signIn)
        || !headerValue(lines, QByteArrayLiteral("transfer-encoding")).isEmpty()) {
        refuse(413, QByteArrayLiteral("nothing here takes a request body: the API only reads"));
        return;
    }
    if (bodyBytes > SignInBodyBytes) {
        refuse(413, QByteArrayLiteral("the sign-in form takes %1 bytes at most").replace("%1", QByteArray::number(SignInBodyBytes)));
        return;
    }
    if (m_streamer && *m_streamer) {
        if (std::optional<StreamedAnswer> answer = (*m_streamer)(parsed)) {
            m_headTimer.stop();
            stream(std::move(*answer), parsed);
            return;
        }
    }
    const QByteArray connection = headerValue(lines, QByteArrayLiteral("connection"));
    const bool oldVersion = lines.first().trimmed().endsWith("HTTP/1.0");
    m_closeAfterAnswer = connection.contains("close") || (oldVersion && !connection.contains("keep-alive"));
    // The body, if any, must come within the head's time too.
    m_bodyLeft = bodyBytes;
    if (m_bodyLeft == 0)
        requestComplete();
}

void HttpConnectionGuard::requestComplete()
{
    m_headTimer.stop();
    // The HTTP server answers this request right after this returns, in the same turn.
    if (m_closeAfterAnswer)
        QTimer::singleShot(0, this, &HttpConnectionGuard::closeAfterAnswer);
}

void HttpConnectionGuard::stream(StreamedAnswer answer, const HttpHead &head)
{
    // The HTTP server must not see this request, nor any sent after it on this connection.
    m_ending = true;
    m_socket->readAll();
    m_chunked = !head.lines.first().trimmed().endsWith("HTTP/1.0");
    QByteArray out = "HTTP/1.1 200 OK\r\n";
    for (const auto &field : std::as_const(answer.headers))
        out += field.first + ": " + field.second + "\r\n";
    if (m_chunked)
        out += "Transfer-Encoding: chunked\r\n";
    out += "Connection: close\r\n\r\n";
    m_socket->write(out);
    m_stream = std::move(answer.body);
    if (!m_stream) {
        closeAfterAnswer();
        return;
    }
    m_idleTimer.start();
    feedStream();
}

void HttpConnectionGuard::feedStream()
{
    m_feedQueued = false;
    while (m_stream && m_socket->bytesToWrite() < StreamPartBytes) {
        if (m_stream->atEnd()) {
            if (m_chunked)
                m_socket->write("0\r\n\r\n");
            m_stream.reset();
            closeAfterAnswer();
            return;
        }
        const QByteArray part = m_stream->next(StreamPartBytes);
        if (part.isEmpty()) {
            // Nothing taken in that part: the rest comes in a later turn of the loop.
            if (!m_feedQueued) {
                m_feedQueued = true;
                QTimer::singleShot(0, this, &HttpConnectionGuard::feedStream);
            }
            return;
        }
        if (m_chunked)
            m_socket->write(QByteArray::number(part.size(), 16) + "\r\n");
        m_socket->write(part);
        if (m_chunked)
            m_socket->write("\r\n");
    }
}

void HttpConnectionGuard::closeAfterAnswer()
{
    m_ending = true;
    m_idleTimer.stop();
    m_socket->disconnectFromHost(); // after what is written
    QTimer::singleShot(ClosingGraceMs, m_socket, &QTcpSocket::abort);
}

void HttpConnectionGuard::refuse(int status, const QByteArray &reason)
{
    m_ending = true;
    m_headTimer.stop();
    m_idleTimer.stop();
    m_socket->readAll(); // what arrived of it is not the HTTP server's to parse
    const QByteArray body = reason + '\n';
    m_socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status)
                    + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + QByteArray::number(body.size())
                    + "\r\nConnection: close\r\n\r\n" + body);
    m_socket->disconnectFromHost();
    QTimer::singleShot(ClosingGraceMs, m_socket, &QTcpSocket::abort);
}

} // namespace NVL::Engineering::VK
