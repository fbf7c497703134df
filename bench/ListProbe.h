#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

class QTcpSocket;

namespace NVL::Engineering::VK::Bench {

// One list request on an open connection, timed from the write of the request to the last byte of the reply.
class ListProbe
{
public:
    struct Reply
    {
        bool ok = false;
        quint32 count = 0;
        QByteArray records; // count * 64 bytes
        qint64 nanoseconds = 0;
        QString error;
    };

    static Reply request(QTcpSocket &socket, const QDeadlineTimer &deadline);
};

} // namespace NVL::Engineering::VK::Bench
