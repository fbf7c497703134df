#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace NVL::Engineering::VK {

// A receiver's HTTP/1.x answer to one POST, read as it comes: its status, and where it ends, so that the
// connection can carry the next post. The body is counted and dropped, never kept; the head and the body
// are each bounded, so an answer without end costs a bounded read.
class WebhookAnswer
{
public:
    enum class State { Reading, Complete, TooLarge, Malformed };
    static constexpr qsizetype HeadBytes = 16384;

    explicit WebhookAnswer(qint64 bodyBytes = 0)
        : m_bodyLimit(bodyBytes)
    {
    }

    State feed(const char *data, qint64 size);
    // The receiver closed the connection: that ends a body that had no length.
    State closed();

    State state() const { return m_state; }
    bool started() const { return m_started; }
    int status() const { return m_status; }
    // Whether the connection may carry the next post.
    bool keepAlive() const { return m_keepAlive && m_state == State::Complete; }
    // Why it is TooLarge or Malformed.
    const QString &problem() const { return m_problem; }

private:
    enum class Part { Head, Sized, ChunkSize, ChunkData, ChunkEnd, Trailer, UntilClose };

    qint64 readHead(const char *data, qint64 size);
    qint64 readLine(const char *data, qint64 size);
    void headRead();
    void lineRead();
    void body(qint64 bytes);
    State fail(State state, const QString &problem);

    qint64 m_bodyLimit;
    State m_state = State::Reading;
    Part m_part = Part::Head;
    bool m_started = false;
    bool m_keepAlive = false;
    int m_status = 0;
    QByteArray m_buffer;    // the head, or one line of the chunk framing
    qint64 m_headBytes = 0; // of every head, interim ones included
    qint64 m_remaining = 0; // of the sized body or the current chunk
    qint64 m_body = 0;
    QString m_problem;
};

} // namespace NVL::Engineering::VK
