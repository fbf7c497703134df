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
    // A certificate this close to its end is served with a Warning at start.
    static constexpr int ExpiryWarningDays = 30;

    // Empty, with the reason, when the files cannot serve: one missing or unreadable, a key that others
    // may read or that is not the certificate's, a certificate past its end. `warning` says what serves
    // but will not for long.
    static std::optional<QSslConfiguration> load(const TlsSettings &settings, QString &error, QString &warning);

private:
    // What the TLS library says of the pair when a server context is made of it; empty when it takes them.
    static QString contextError(const QSslConfiguration &configuration);
};

} // namespace NVL::Engineering::VK
