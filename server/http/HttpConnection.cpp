#include "HttpConnection.h"

#include <QTcpSocket>

#include <algorithm>

namespace NVL::Engineering::VK {

namespace {

constexpr int ClosingGraceMs = 2000;

QByteArray withoutLineEnd(QByteArray line)
{
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return line;
}

bool isToken(const QByteArray &text)
{
    return !text.isEmpty()
        && std::all_of(text.cbegin(), text.cend(), [](char c) { return c > ' ' && c < 127 && c != ':' && c != '"'; });
}

} // namespace

HttpConnection::HttpConnection(QTcpSocket *socket, const HttpLimits &limits, const HttpHandler *handler)
    : QObject(socket)
    , m_socket(socket)
    , m_limits(limits)
    , m_handler(handler)
{
    // A head larger than the buffer could never come whole.
    socket->setReadBufferSize(std::max<qint64>(ReadBufferBytes, qint64(limits.headerBytes) + 4096));
    m_headTimer.setSingleShot(true);
    m_headTimer.setInterval(limits.headSeconds * 1000);
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(limits.idleSeconds * 1000);
    connect(&m_headTimer, &QTimer::timeout, this,
            [this] { refuse(HttpStatus::RequestTimeout, QByteArrayLiteral("the request head did not come whole in time")); });
    connect(&m_idleTimer, &QTimer::timeout, m_socket, &QTcpSocket::abort);
    connect(socket, &QTcpSocket::readyRead, this, [this] {
        if (!m_reading)
            m_socket->readAll(); // nothing more is answered
        else
            pump();
    });
    connect(socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_stream)
            feedStream();
        else if (!m_waiting.empty())
            pump();
        becomeIdleIfDone();
    });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    m_idleTimer.start();
    // Bytes that came with the handshake or before this was made.
    if (socket->bytesAvailable() > 0)
        schedulePump();
}

void HttpConnection::readSome()
{
    while (m_reading && m_waiting.size() < size_t(MaxWaiting)) {
        if (m_part == Part::Body) {
            const qint64 take = std::min(m_bodyLeft, m_socket->bytesAvailable());
            if (take <= 0)
                return;
            m_request.body += m_socket->read(take);
            m_bodyLeft -= take;
            if (m_bodyLeft == 0)
                endOfHead();
            continue;
        }
        const qint64 available = m_socket->bytesAvailable();
        if (available <= 0)
            return;
        if (!m_inHead) {
            m_inHead = true;
            m_headBytes = 0;
            m_idleTimer.stop();
            m_headTimer.start();
        }
        if (!m_socket->canReadLine()) {
            // The bound is passed before the line's end came: answered now, without reading further.
            if (m_part == Part::Line && available > m_limits.requestLineBytes)
                refuse(HttpStatus::UriTooLong, QByteArrayLiteral("the request line is longer than %1 bytes")
                                                  .replace("%1", QByteArray::number(m_limits.requestLineBytes)));
            else if (m_headBytes + available > m_limits.headerBytes)
                refuse(HttpStatus::HeaderFieldsTooLarge, QByteArrayLiteral("the request head is larger than %1 bytes")
                                                             .replace("%1", QByteArray::number(m_limits.headerBytes)));
            return;
        }
        const QByteArray line = m_socket->readLine(std::max(m_limits.requestLineBytes, m_limits.headerBytes) + 3);
        m_headBytes += line.size();
        const QByteArray text = withoutLineEnd(line);
        if (m_part == Part::Line && text.size() > m_limits.requestLineBytes) {
            refuse(HttpStatus::UriTooLong, QByteArrayLiteral("the request line is longer than %1 bytes")
                                              .replace("%1", QByteArray::number(m_limits.requestLineBytes)));
            return;
        }
        if (m_headBytes > m_limits.headerBytes + 4) {
            refuse(HttpStatus::HeaderFieldsTooLarge, QByteArrayLiteral("the request head is larger than %1 bytes")
                                                         .replace("%1", QByteArray::number(m_limits.headerBytes)));
            return;
        }
        if (!parseLine(text))
            return;
    }
}

bool HttpConnection::parseLine(const QByteArray &line)
{
    if (m_part == Part::Line) {
        if (line.isEmpty()) {
            // An empty line before a request is allowed, and nothing has begun yet.
            m_inHead = false;
            m_headTimer.stop();
            return true;
        }
        const QList<QByteArray> parts = line.split(' ');
        const QByteArray version = parts.value(2);
        if (parts.size() != 3 || !isToken(parts[0]) || parts[1].isEmpty()
            || (version != "HTTP/1.1" && version != "HTTP/1.0")) {
            refuse(HttpStatus::BadRequest, QByteArrayLiteral("a request line is a method, a path and HTTP/1.1 (or HTTP/1.0), "
                                                             "with one space between them"));
            return false;
        }
        m_request = HttpRequest();
        m_request.method = parts[0];
        m_request.url = QUrl::fromEncoded(parts[1]);
        m_request.http10 = version == "HTTP/1.0";
        m_request.peer = m_socket->peerAddress();
        m_part = Part::Fields;
        return true;
    }
    if (line.isEmpty()) {
        endOfHead();
        return true;
    }
    const qsizetype colon = line.indexOf(':');
    const QByteArray name = line.left(colon).toLower();
    // A field folded over lines, or a name with space before its colon: obsolete, and read differently by
    // different parsers.
    if (colon <= 0 || !isToken(name)) {
        refuse(HttpStatus::BadRequest, QByteArrayLiteral("a header field is a name, a colon and a value"));
        return false;
    }
    m_request.fields.append({name, line.mid(colon + 1).trimmed()});
    return true;
}

void HttpConnection::endOfHead()
{
    if (m_part == Part::Fields) {
        QList<QByteArray> lengths;
        for (const auto &field : std::as_const(m_request.fields)) {
            if (field.first == "content-length")
                lengths.append(field.second);
        }
        bool lengthOk = true;
        const qint64 bodyBytes = lengths.isEmpty() ? 0 : lengths.first().toLongLong(&lengthOk);
        // Two lengths may be read as two different requests by something between the client and us.
        if (lengths.size() > 1 || !lengthOk || bodyBytes < 0) {
            refuse(HttpStatus::BadRequest, QByteArrayLiteral("one Content-Length of a whole number of bytes at most"));
            return;
        }
        const bool signIn = m_request.method == "POST" && m_request.url.path() == QLatin1String("/signin");
        if ((bodyBytes > 0 && !signIn) || !m_request.value(QByteArrayLiteral("transfer-encoding")).isEmpty()) {
            refuse(HttpStatus::ContentTooLarge, QByteArrayLiteral("nothing here takes a request body: the API only reads"));
            return;
        }
        if (bodyBytes > SignInBodyBytes) {
            refuse(HttpStatus::ContentTooLarge, QByteArrayLiteral("the sign-in form takes %1 bytes at most")
                                                    .replace("%1", QByteArray::number(SignInBodyBytes)));
            return;
        }
        if (bodyBytes > 0) {
            // The body must come within the head's time too.
            m_part = Part::Body;
            m_bodyLeft = bodyBytes;
            return;
        }
    }
    m_headTimer.stop();
    m_inHead = false;
    m_part = Part::Line;
    // Nothing after a request that ends the connection is read.
    if (m_request.closes())
        m_reading = false;
    m_waiting.push_back({std::move(m_request), std::nullopt});
    m_request = HttpRequest();
}

void HttpConnection::refuse(HttpStatus status, const QByteArray &reason)
{
    m_reading = false;
    m_inHead = false;
    m_headTimer.stop();
    m_socket->readAll(); // what arrived of it is not ours to parse
    m_waiting.push_back({HttpRequest(), HttpResponse(QByteArrayLiteral("text/plain; charset=utf-8"), reason + '\n', status)});
    schedulePump();
}

void HttpConnection::schedulePump()
{
    if (m_pumpQueued)
        return;
    m_pumpQueued = true;
    QTimer::singleShot(0, this, &HttpConnection::pump);
}

void HttpConnection::pump()
{
    m_pumpQueued = false;
    for (int answered = 0; !m_finishing;) {
        readSome();
        if (m_stream || m_waiting.empty() || m_socket->bytesToWrite() >= OutputBytes)
            break;
        if (answered == AnswersPerTurn) {
            // The radios share this event loop: the rest after a turn of theirs.
            schedulePump();
            return;
        }
        Waiting next = std::move(m_waiting.front());
        m_waiting.pop_front();
        answer(std::move(next));
        ++answered;
    }
    becomeIdleIfDone();
}

void HttpConnection::answer(Waiting waiting)
{
    const HttpRequest &request = waiting.request;
    const bool refused = waiting.refusal.has_value();
    HttpResponse response = refused ? std::move(*waiting.refusal) : (*m_handler)(request);
    // HTTP/1.0 has no chunks: a streamed answer to it ends with the connection.
    const bool closing = refused || request.closes() || (response.isStreamed() && request.http10);
    const bool chunked = response.isStreamed() && !request.http10;
    m_socket->write(response.head(chunked, closing));
    if (!request.isHead()) {
        if (response.isStreamed()) {
            m_stream = response.takeStream();
            m_streamChunked = chunked;
            m_closeAfter = closing;
            feedStream();
            return;
        }
        m_socket->write(response.body());
    }
    if (closing)
        finish();
}

void HttpConnection::feedStream()
{
    while (m_stream && m_socket->bytesToWrite() < OutputBytes) {
        if (m_stream->atEnd()) {
            if (m_streamChunked)
                m_socket->write("0\r\n\r\n");
            m_stream.reset();
            if (m_closeAfter)
                finish();
            else
                schedulePump();
            return;
        }
        const QByteArray part = m_stream->next(OutputBytes);
        if (part.isEmpty()) {
            // Nothing taken in that part: the rest comes in a later turn of the loop.
            QTimer::singleShot(0, this, [this] {
                if (m_stream)
                    feedStream();
            });
            return;
        }
        if (m_streamChunked)
            m_socket->write(QByteArray::number(part.size(), 16) + "\r\n");
        m_socket->write(part);
        if (m_streamChunked)
            m_socket->write("\r\n");
    }
}

void HttpConnection::becomeIdleIfDone()
{
    if (m_finishing)
        return;
    // Bytes leaving count as activity: a client that stops reading a stream is closed by the idle time.
    if (!m_inHead && m_waiting.empty())
        m_idleTimer.start();
    else
        m_idleTimer.stop();
}

void HttpConnection::finish()
{
    m_finishing = true;
    m_reading = false;
    m_headTimer.stop();
    m_idleTimer.stop();
    m_waiting.clear();
    m_socket->disconnectFromHost(); // after what is written
    QTimer::singleShot(ClosingGraceMs, m_socket, &QTcpSocket::abort);
}

} // namespace NVL::Engineering::VK
