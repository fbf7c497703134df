#pragma once

#include "HttpLimits.h"
#include "HttpStreaming.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

class QTcpSocket;

namespace NVL::Engineering::VK {

// Reads each request head of one HTTP connection before Qt's HTTP server does, and ends what it must not
// take: a request line or head past its size (414, 431) as soon as the bound is passed, without reading
// further; a body (413), but for the sign-in form's small one; a head (and that body) that does not come
// whole within its time (408);
// a kept-alive connection idle past its time. After an answer to HTTP/1.0 or `Connection: close` the
// connection is closed, so a client that reads to the end is not kept waiting. Owned by its socket.
class HttpConnectionGuard : public QObject
{
    Q_OBJECT

public:
    // The streamer, if any, must outlive the guard.
    HttpConnectionGuard(QTcpSocket *socket, const HttpLimits &limits, const AnswerStreamer *streamer = nullptr);

    // Bytes of the socket's read buffer: what one connection holds in memory at most.
    static constexpr qint64 ReadBufferBytes = 64 * 1024;
    // Of a streamed answer, handed to the socket while less than this waits in it.
    static constexpr qint64 StreamPartBytes = 256 * 1024;
    // The one request that carries a body: the sign-in form, with a token and the page to return to.
    static constexpr qint64 SignInBodyBytes = 4096;

private:
    void bytesArrived();
    void headComplete(const QByteArray &head);
    void refuse(int status, const QByteArray &reason);
    void requestComplete();
    void closeAfterAnswer();
    // Answers the request itself, the body in parts, and closes the connection after it.
    void stream(StreamedAnswer answer, const HttpHead &head);
    void feedStream();

    QTcpSocket *m_socket;
    HttpLimits m_limits;
    const AnswerStreamer *m_streamer;
    std::unique_ptr<ReplyStream> m_stream;
    bool m_chunked = false;
    bool m_feedQueued = false;
    QByteArray m_head; // the head under way, never more than its bound
    bool m_inHead = false;
    qint64 m_bodyLeft = 0;        // of the sign-in form, still to pass on to the HTTP server
    bool m_closeAfterAnswer = false;
    bool m_ending = false;
    QTimer m_headTimer;
    QTimer m_idleTimer;
};

} // namespace NVL::Engineering::VK
