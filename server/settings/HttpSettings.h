#pragma once

#include "HttpLimits.h"
#include "TlsSettings.h"

#include <QHostAddress>
#include <QString>

namespace NVL::Engineering::VK {

// Section [http] of vk.cfg: where the read-only API listens, the token it asks for, its TLS certificate,
// what one client may hold of it, and the dashboard's address that mails link to.
struct HttpSettings
{
    static constexpr quint16 DefaultPort = 9363;

    bool enabled = true;
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = DefaultPort;
    QString token;
    QString listenText;  // as written, for the log
    QString listenError; // not empty: the listen value cannot be used, and why
    TlsSettings tls; // nothing requested: plain HTTP
    HttpLimits limits;
    QString publicUrl; // empty: mails link nowhere
};

} // namespace NVL::Engineering::VK
