#pragma once

#include <QHostAddress>
#include <QString>

#include <optional>

class QSettings;

namespace NVL::Engineering::VK {

// Section [http] of vk.cfg: where the read-only API listens and the token it asks for.
struct ApiSettings
{
    static constexpr quint16 DefaultPort = 9363;

    bool enabled = true;
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = DefaultPort;
    QString token;
    QString listenText; // as written, for the log

    // Empty (with the reason) when the listen value cannot be used.
    static std::optional<ApiSettings> read(QSettings &settings, QString &error);
};

} // namespace NVL::Engineering::VK
