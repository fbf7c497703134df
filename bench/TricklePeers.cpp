#include "TricklePeers.h"

#include "RadioPeer.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <memory>
#include <vector>

namespace NVL::Engineering::VK::Bench {

TricklePeers::TricklePeers(quint16 port, int peers)
    : m_port(port)
    , m_peers(peers)
{
}

TricklePeers::~TricklePeers()
{
    quit();
    wait();
}

bool TricklePeers::startTrickling()
{
    start();
    m_ready.acquire();
    return m_connected.load() == m_peers;
}

void TricklePeers::run()
{
    const QByteArray message = RadioPeer::versionRequestMessage(1);
    struct Peer
    {
        std::unique_ptr<QTcpSocket> socket;
        int next = 0;
    };
    std::vector<Peer> peers(static_cast<size_t>(m_peers));
    for (Peer &peer : peers) {
        peer.socket = std::make_unique<QTcpSocket>();
        peer.socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        peer.socket->connectToHost(QHostAddress::LocalHost, m_port);
        if (!peer.socket->waitForConnected(5000))
            continue;
        ++m_connected;
        QTcpSocket *socket = peer.socket.get();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            const qint64 replies = socket->bytesAvailable() / 13;
            socket->read(replies * 13);
            m_replies += int(replies);
        });
    }
    const auto trickle = [&] {
        for (Peer &peer : peers) {
            if (peer.socket->state() != QAbstractSocket::ConnectedState)
                continue;
            peer.socket->write(message.mid(peer.next, 1));
            peer.socket->flush();
            peer.next = (peer.next + 1) % int(message.size());
        }
    };
    trickle();
    m_ready.release();
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, trickle);
    timer.start(ByteIntervalMs);
    exec();
}

} // namespace NVL::Engineering::VK::Bench
