#pragma once

#include "HttpResponse.h"

namespace NVL::Engineering::VK::ApiAnswers {

inline const QByteArray JsonType = QByteArrayLiteral("application/json");
inline const QByteArray CsvType = QByteArrayLiteral("text/csv; charset=utf-8");
inline const QByteArray HtmlType = QByteArrayLiteral("text/html; charset=utf-8");

inline HttpResponse plain(const QString &line, HttpStatus status)
{
    return HttpResponse::plain(line, status);
}

inline HttpResponse json(QByteArray &&data)
{
    return HttpResponse(JsonType, std::move(data));
}

inline HttpResponse csv(QByteArray &&data)
{
    return HttpResponse(CsvType, std::move(data));
}

inline HttpResponse html(QByteArray &&page, HttpStatus status = HttpStatus::Ok)
{
    return HttpResponse(HtmlType, std::move(page), status);
}

} // namespace NVL::Engineering::VK::ApiAnswers
