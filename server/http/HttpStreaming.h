#pragma once

#include "ReplyStream.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace NVL::Engineering::VK {

// A request head as the connection's guard reads it.
struct HttpHead
{
    QByteArray method;
    QUrl url;
    QList<QByteArray> lines; // the request line, then one line per header field
    QHostAddress peer;

    static HttpHead parse(const QList<QByteArray> &lines);
    // The field's value, trimmed; empty when absent.
    QByteArray value(const QByteArray &lowerCaseName) const;
};

// An answer whose body is streamed: status 200, its header fields, and the body (none for HEAD).
struct StreamedAnswer
{
    QList<QPair<QByteArray, QByteArray>> headers;
    std::unique_ptr<ReplyStream> body;
};

// Answers the heads it streams; for any other (and for every refusal) the HTTP server answers.
using AnswerStreamer = std::function<std::optional<StreamedAnswer>(const HttpHead &)>;

} // namespace NVL::Engineering::VK
