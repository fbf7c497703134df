#pragma once

#include "TlsSettings.h"

#include <QSslConfiguration>

#include <optional>

namespace NVL::Engineering::VK {

// The certificate and key of [http] made into what the HTTP side serves TLS with, checked before anything
// listens: a key that does not belong to the certificate would otherwise fail every handshake later.
class TlsCredentials
{
public:
    // Empty, with the reason, when the files cannot serve.
    static std::optional<QSslConfiguration> load(const TlsSettings &settings, QString &error);

private:
    // What the TLS library says of the pair when a server context is made of it; empty when it takes them.
    static QString contextError(const QSslConfiguration &configuration);
};

} // namespace NVL::Engineering::VK
