#include "WebhookAnswer.h"

#include <QList>

#include <cstring>

namespace NVL::Engineering::VK {

namespace {

constexpr qsizetype LineBytes = 4096; // one line of the chunk framing

} // namespace

WebhookAnswer::State WebhookAnswer::feed(const char *data, qint64 size)
{
    m_started = m_started || size > 0;
    while (size > 0 && m_state == State::Reading) {
        qint64 used = size;
        switch (m_part) {
        case Part::Head:
            used = readHead(data, size);
            break;
        case Part::Sized:
        case Part::ChunkData:
            used = qMin(size, m_remaining);
            m_remaining -= used;
            if (m_remaining == 0 && m_part == Part::Sized)
                m_state = State::Complete;
            else if (m_remaining == 0)
                m_part = Part::ChunkEnd;
            break;
        case Part::ChunkSize:
        case Part::ChunkEnd:
        case Part::Trailer:
            used = readLine(data, size);
            break;
        case Part::UntilClose:
            body(size);
            break;
        }
        data += used;
        size -= used;
    }
    if (size > 0 && m_state == State::Complete)
        m_keepAlive = false; // bytes past the answer: the connection is out of step
    return m_state;
}

WebhookAnswer::State WebhookAnswer::closed()
{
    if (m_state != State::Reading)
        return m_state;
    if (m_part == Part::UntilClose) {
        m_state = State::Complete;
        return m_state;
    }
    return fail(State::Malformed, m_started ? QStringLiteral("the receiver closed the connection within its answer")
                                            : QStringLiteral("the receiver closed the connection without an answer"));
}

qint64 WebhookAnswer::readHead(const char *data, qint64 size)
{
    const qsizetype from = qMax<qsizetype>(0, m_buffer.size() - 3); // the blank line may straddle two reads
    const qint64 take = qMin<qint64>(size, HeadBytes + 4 - m_buffer.size());
    m_buffer.append(data, qsizetype(take));
    const qsizetype end = m_buffer.indexOf("\r\n\r\n", from);
    const qint64 used = end < 0 ? take : take - (m_buffer.size() - (end + 4));
    // Interim answers count too: a receiver must not keep the loop reading heads until the deadline.
    m_headBytes += used;
    if (m_headBytes > HeadBytes) {
        fail(State::TooLarge, QStringLiteral("the answer's head ran past %1 bytes").arg(HeadBytes));
        return used;
    }
    if (end < 0)
        return used;
    m_buffer.truncate(end);
    headRead();
    return used;
}

void WebhookAnswer::headRead()
{
    const QList<QByteArray> lines = m_buffer.split('\n');
    m_buffer.clear();
    const QList<QByteArray> status = lines.first().trimmed().split(' ');
    bool ok = false;
    m_status = status.size() >= 2 ? status.at(1).toInt(&ok) : 0;
    if (!status.first().startsWith("HTTP/1.") || !ok || m_status < 100 || m_status > 999) {
        fail(State::Malformed, QStringLiteral("the answer is not HTTP/1.x"));
        return;
    }
    if (m_status < 200)
        return; // an interim answer: the real one follows
    m_keepAlive = status.first() != "HTTP/1.0";
    qint64 length = -1;
    bool chunked = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed().toLower();
        if (name == "content-length" && ((length = value.toLongLong(&ok)) < 0 || !ok)) {
            fail(State::Malformed, QStringLiteral("the answer's Content-Length is no length"));
            return;
        }
        if (name == "transfer-encoding")
            chunked = value.endsWith("chunked");
        if (name == "connection")
            m_keepAlive = value.contains("keep-alive") || (m_keepAlive && !value.contains("close"));
    }
    if (m_status == 204 || m_status == 304 || length == 0) {
        m_state = State::Complete;
    } else if (chunked) {
        m_part = Part::ChunkSize;
    } else if (length > m_bodyLimit) {
        fail(State::TooLarge, QStringLiteral("the answer announced %1 bytes, more than %2").arg(length).arg(m_bodyLimit));
    } else if (length > 0) {
        m_part = Part::Sized;
        m_remaining = length;
    } else {
        m_part = Part::UntilClose;
        m_keepAlive = false;
    }
}

qint64 WebhookAnswer::readLine(const char *data, qint64 size)
{
    const char *newline = static_cast<const char *>(memchr(data, '\n', size_t(size)));
    const qint64 used = newline ? newline - data + 1 : size;
    m_buffer.append(data, qsizetype(used));
    if (m_buffer.size() > LineBytes)
        fail(State::Malformed, QStringLiteral("a line of the chunked answer ran past %1 bytes").arg(LineBytes));
    else if (newline)
        lineRead();
    return used;
}

void WebhookAnswer::lineRead()
{
    const QByteArray line = m_buffer.trimmed();
    m_buffer.clear();
    switch (m_part) {
    case Part::ChunkSize: {
        bool ok = false;
        const qsizetype extension = line.indexOf(';');
        m_remaining = line.left(extension < 0 ? line.size() : extension).trimmed().toLongLong(&ok, 16);
        if (!ok || m_remaining < 0)
            fail(State::Malformed, QStringLiteral("the chunked answer has a chunk without a size"));
        else if (m_remaining == 0)
            m_part = Part::Trailer;
        else
            m_part = Part::ChunkData;
        body(m_remaining);
        return;
    }
    case Part::ChunkEnd:
        if (!line.isEmpty())
            fail(State::Malformed, QStringLiteral("the chunked answer has a chunk longer than its size"));
        m_part = Part::ChunkSize;
        return;
    default: // the trailer: counted like the body, ended by a blank line
        body(line.size());
        if (line.isEmpty() && m_state == State::Reading)
            m_state = State::Complete;
        return;
    }
}

void WebhookAnswer::body(qint64 bytes)
{
    m_body += bytes;
    if (m_body > m_bodyLimit)
        fail(State::TooLarge, QStringLiteral("the answer ran past %1 bytes").arg(m_bodyLimit));
}

WebhookAnswer::State WebhookAnswer::fail(State state, const QString &problem)
{
    if (m_state == State::Reading) {
        m_state = state;
        m_problem = problem;
    }
    return m_state;
}

} // namespace NVL::Engineering::VK
