#pragma once

#include <QString>

namespace NVL::Engineering::VK {

// [http] certificate and key of vk.cfg: PEM files that put the dashboard and the API behind TLS. Paths
// are absolute, a relative one taken from the folder of vk.cfg.
struct TlsSettings
{
    QString certificateFile; // the server's certificate, then any intermediate ones
    QString keyFile;         // its private key, unencrypted: the service starts unattended

    bool requested() const { return !certificateFile.isEmpty() || !keyFile.isEmpty(); }
};

} // namespace NVL::Engineering::VK
