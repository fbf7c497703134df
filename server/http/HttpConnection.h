#pragma once

#include "HttpLimits.h"
#include "HttpRequest.h"
#include "HttpResponse.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

class QTcpSocket;

namespace NVL::Engineering::VK {

// What answers a request; it runs on the server's event loop and must return soon (a whole-fleet answer
// comes back as a stream, given out in parts).
using HttpHandler = std::function<HttpResponse(const HttpRequest &)>;

// One HTTP/1.1 connection of the dashboard and the API. Every byte that arrives is read once: requests
// are parsed as their bytes come and answered in the order they came, pipelined ones too, at most a few
// in one turn of the event loop so that radios are served between them. At most MaxWaiting requests wait
// for their answer; past that nothing more is read (the client's sending stops at TCP's window) until
// answers are out. What a client must not do ends the connection after the answers before it: a request
// line or head past its size (414, 431) as soon as the bound is passed, a line that is no HTTP request
// (400), a body (413) but the sign-in form's small one, a head (and that body) that does not come whole in
// its time (408). `Connection: close` and HTTP/1.0 close after the answer to the request that asked, and
// an idle connection closes after its time. Owned by its socket.
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    // The handler must outlive the connection.
    HttpConnection(QTcpSocket *socket, const HttpLimits &limits, const HttpHandler *handler);

    // Bytes of the socket's read buffer: what one connection holds in memory at most.
    static constexpr qint64 ReadBufferBytes = 64 * 1024;
    // Of an answer, handed to the socket while less than this waits in it.
    static constexpr qint64 OutputBytes = 256 * 1024;
    // The one request that carries a body: the sign-in form, with a token and the page to return to.
    static constexpr qint64 SignInBodyBytes = 4096;
    static constexpr int MaxWaiting = 16;
    static constexpr int AnswersPerTurn = 8;

private:
    struct Waiting
    {
        HttpRequest request;
        std::optional<HttpResponse> refusal; // set: the connection's last answer
    };

    void readSome();
    // Parses what it can of the socket's bytes; false once nothing more is to be read.
    bool parseLine(const QByteArray &line);
    void endOfHead();
    void refuse(HttpStatus status, const QByteArray &reason);
    void pump();
    void schedulePump();
    void answer(Waiting waiting);
    void feedStream();
    void finish();
    void becomeIdleIfDone();

    enum class Part { Line, Fields, Body };

    QTcpSocket *m_socket;
    HttpLimits m_limits;
    const HttpHandler *m_handler;
    Part m_part = Part::Line;
    bool m_inHead = false;
    qint64 m_headBytes = 0;
    HttpRequest m_request;
    qint64 m_bodyLeft = 0;
    bool m_reading = true; // false after a refusal or a closing request: the rest is not read
    std::deque<Waiting> m_waiting;
    std::unique_ptr<ReplyStream> m_stream;
    bool m_streamChunked = false;
    bool m_closeAfter = false; // the answer being given ends the connection
    bool m_finishing = false;
    bool m_pumpQueued = false;
    QTimer m_headTimer;
    QTimer m_idleTimer;
};

} // namespace NVL::Engineering::VK
