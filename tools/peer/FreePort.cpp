#include "FreePort.h"

#include <QTcpServer>
#include <QUdpSocket>

namespace NVL::Engineering::VK {

quint16 freeRadioPort()
{
    // The server binds both protocols on one port, so the TCP pick must also be free for UDP.
    for (int attempt = 0; attempt < 50; ++attempt) {
        QTcpServer tcp;
        if (!tcp.listen(QHostAddress::Any, 0))
            continue;
        const quint16 port = tcp.serverPort();
        QUdpSocket udp;
        if (udp.bind(QHostAddress::Any, port))
            return port;
    }
    return 0;
}

} // namespace NVL::Engineering::VK
