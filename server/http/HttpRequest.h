#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QUrl>
#include <QUrlQuery>

namespace NVL::Engineering::VK {

// One request as a connection read it: its line, its header fields (names in lower case), the body of
// the one form that has one, and who sent it.
struct HttpRequest
{
    QByteArray method;
    QUrl url;
    bool http10 = false;
    QList<QPair<QByteArray, QByteArray>> fields;
    QByteArray body;
    QHostAddress peer;

    // The field's value, trimmed; empty when absent.
    QByteArray value(const QByteArray &lowerCaseName) const;
    QString path() const { return url.path(); }
    QUrlQuery query() const { return QUrlQuery(url); }
    bool isHead() const { return method == "HEAD"; }
    // Whether the connection ends after the answer: HTTP/1.0 without keep-alive, or Connection: close.
    bool closes() const;
};

} // namespace NVL::Engineering::VK
