#pragma once

#include "ReplyStream.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <memory>

namespace NVL::Engineering::VK {

enum class HttpStatus : int {
    Ok = 200,
    SeeOther = 303,
    BadRequest = 400,
    Unauthorized = 401,
    Forbidden = 403,
    NotFound = 404,
    MethodNotAllowed = 405,
    RequestTimeout = 408,
    ContentTooLarge = 413,
    UriTooLong = 414,
    TooManyRequests = 429,
    HeaderFieldsTooLarge = 431,
    ServiceUnavailable = 503,
};

// An answer: its status, its header fields, and a body either whole or streamed in parts (a whole-fleet
// answer that is never held in full). HEAD gets the same head as GET, Content-Length included.
class HttpResponse
{
public:
    HttpResponse(HttpStatus status = HttpStatus::Ok)
        : m_status(status)
    {
    }
    HttpResponse(const QByteArray &contentType, QByteArray body, HttpStatus status = HttpStatus::Ok);
    // A line of text and its end.
    static HttpResponse plain(const QString &line, HttpStatus status);
    static HttpResponse streamed(const QByteArray &contentType, std::unique_ptr<ReplyStream> body);

    HttpResponse(HttpResponse &&) = default;
    HttpResponse &operator=(HttpResponse &&) = default;

    HttpStatus status() const { return m_status; }
    void addHeader(const QByteArray &name, const QByteArray &value) { m_fields.append({name, value}); }
    // The first value of a field, empty when it has none.
    QByteArray header(const QByteArray &name) const;
    const QByteArray &body() const { return m_body; }
    bool isStreamed() const { return m_stream != nullptr; }
    std::unique_ptr<ReplyStream> takeStream() { return std::move(m_stream); }

    // The status line and fields; a streamed body goes chunked (or, where chunks are not allowed, until
    // the connection closes).
    QByteArray head(bool chunked, bool closing) const;
    static QByteArray reason(HttpStatus status);

private:
    HttpStatus m_status;
    QList<QPair<QByteArray, QByteArray>> m_fields;
    QByteArray m_body;
    std::unique_ptr<ReplyStream> m_stream;
};

} // namespace NVL::Engineering::VK
