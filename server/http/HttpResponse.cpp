#include "HttpResponse.h"

namespace NVL::Engineering::VK {

HttpResponse::HttpResponse(const QByteArray &contentType, QByteArray body, HttpStatus status)
    : m_status(status)
    , m_body(std::move(body))
{
    m_fields.append({QByteArrayLiteral("Content-Type"), contentType});
}

HttpResponse HttpResponse::plain(const QString &line, HttpStatus status)
{
    return HttpResponse(QByteArrayLiteral("text/plain; charset=utf-8"), (line + QLatin1Char('\n')).toUtf8(), status);
}

HttpResponse HttpResponse::streamed(const QByteArray &contentType, std::unique_ptr<ReplyStream> body)
{
    HttpResponse response(contentType, QByteArray());
    response.m_stream = std::move(body);
    return response;
}

QByteArray HttpResponse::header(const QByteArray &name) const
{
    for (const auto &field : m_fields) {
        if (field.first.compare(name, Qt::CaseInsensitive) == 0)
            return field.second;
    }
    return {};
}

QByteArray HttpResponse::reason(HttpStatus status)
{
    switch (status) {
    case HttpStatus::Ok: return QByteArrayLiteral("OK");
    case HttpStatus::SeeOther: return QByteArrayLiteral("See Other");
    case HttpStatus::BadRequest: return QByteArrayLiteral("Bad Request");
    case HttpStatus::Unauthorized: return QByteArrayLiteral("Unauthorized");
    case HttpStatus::Forbidden: return QByteArrayLiteral("Forbidden");
    case HttpStatus::NotFound: return QByteArrayLiteral("Not Found");
    case HttpStatus::MethodNotAllowed: return QByteArrayLiteral("Method Not Allowed");
    case HttpStatus::RequestTimeout: return QByteArrayLiteral("Request Timeout");
    case HttpStatus::ContentTooLarge: return QByteArrayLiteral("Content Too Large");
    case HttpStatus::UriTooLong: return QByteArrayLiteral("URI Too Long");
    case HttpStatus::TooManyRequests: return QByteArrayLiteral("Too Many Requests");
    case HttpStatus::HeaderFieldsTooLarge: return QByteArrayLiteral("Request Header Fields Too Large");
    case HttpStatus::ServiceUnavailable: return QByteArrayLiteral("Service Unavailable");
    }
    return QByteArrayLiteral("Unknown");
}

QByteArray HttpResponse::head(bool chunked, bool closing) const
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(int(m_status)) + ' ' + reason(m_status) + "\r\n";
    for (const auto &field : m_fields)
        out += field.first + ": " + field.second + "\r\n";
    if (!m_stream)
        out += "Content-Length: " + QByteArray::number(m_body.size()) + "\r\n";
    else if (chunked)
        out += "Transfer-Encoding: chunked\r\n";
    if (closing)
        out += "Connection: close\r\n";
    return out + "\r\n";
}

} // namespace NVL::Engineering::VK
