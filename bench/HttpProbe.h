#pragma once

#include <QByteArray>
#include <QString>

namespace NVL::Engineering::VK::Bench {

// One blocking HTTP/1.1 GET on loopback, timed from the request's first byte to the answer's last.
class HttpProbe
{
public:
    struct Reply
    {
        bool ok = false;
        int status = 0;
        QByteArray body;
        double milliseconds = 0;
        QString error;
    };

    static Reply get(quint16 port, const QString &path, int timeoutMs = 30000);
};

} // namespace NVL::Engineering::VK::Bench
