#include "ApiSettings.h"

#include <QSettings>

namespace NVL::Engineering::VK {

std::optional<ApiSettings> ApiSettings::read(QSettings &settings, QString &error)
{
    ApiSettings result;
    result.token = settings.value(QStringLiteral("http/token")).toString().trimmed();
    const QVariant listen = settings.value(QStringLiteral("http/listen"));
    if (!listen.isValid()) {
        result.listenText = QStringLiteral("127.0.0.1:%1").arg(DefaultPort);
        return result;
    }
    // QSettings splits an unquoted value with a comma into a list: that is no address either.
    const QString text = listen.toString().trimmed();
    result.listenText = text;
    if (text.isEmpty()) {
        result.enabled = false;
        return result;
    }
    QString host;
    QString port;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1String("]:"));
        host = text.mid(1, close - 1);
        port = close > 0 ? text.mid(close + 2) : QString();
    } else {
        const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
        host = colon > 0 ? text.left(colon) : QString();
        port = colon > 0 ? text.mid(colon + 1) : QString();
    }
    if (host == QLatin1String("localhost"))
        host = QStringLiteral("127.0.0.1");
    bool portOk = false;
    const uint portNumber = port.toUInt(&portOk);
    if (!result.address.setAddress(host) || !portOk || portNumber == 0 || portNumber > 0xFFFF) {
        error = QStringLiteral("[http] listen=%1 is not address:port (for example 127.0.0.1:%2 or [::1]:%2)")
                    .arg(text)
                    .arg(DefaultPort);
        return std::nullopt;
    }
    result.port = quint16(portNumber);
    return result;
}

} // namespace NVL::Engineering::VK
