#include "RadioWatch.h"

#include "RadioPeer.h"

#include <QElapsedTimer>

namespace NVL::Engineering::VK::Bench {

RadioWatch::RadioWatch(quint16 port)
    : m_port(port)
{
}

RadioWatch::~RadioWatch()
{
    m_stop = true;
    wait();
}

void RadioWatch::run()
{
    RadioPeer peer(QStringLiteral("127.0.0.1"), m_port, 60000);
    if (!peer.connectToServer()) {
        m_failed = true;
        return;
    }
    while (!m_stop) {
        QElapsedTimer one;
        one.start();
        if (!peer.version()) {
            m_failed = true;
            return;
        }
        const qint64 micros = one.nsecsElapsed() / 1000;
        qint64 slowest = m_slowestMicros.load();
        while (micros > slowest && !m_slowestMicros.compare_exchange_weak(slowest, micros)) {
        }
        ++m_replies;
        QThread::usleep(1000);
    }
}

} // namespace NVL::Engineering::VK::Bench
