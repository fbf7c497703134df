#include "UdpIngest.h"

#include "BenchRecords.h"
#include "RadioPeer.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>
#include <QUdpSocket>

namespace NVL::Engineering::VK::Bench {

UdpIngest::Offer UdpIngest::offer(quint16 port, char tag, quint32 firstIndex, quint32 count, double ratePerSecond,
                                  const QDeadlineTimer &deadline)
{
    Offer result;
    QUdpSocket socket;
    const QHostAddress server(QHostAddress::LocalHost);
    QElapsedTimer clock;
    clock.start();
    for (quint32 i = 0; i < count; ++i) {
        if (deadline.hasExpired()) {
            result.deadlineHit = true;
            break;
        }
        if (ratePerSecond > 0) {
            const qint64 due = qint64(double(i) / ratePerSecond * 1e9);
            const qint64 early = due - clock.nsecsElapsed();
            if (early > 0)
                QThread::usleep(quint64(early / 1000));
        }
        const QByteArray datagram = RadioPeer::reportMessage(benchRecord(tag, firstIndex + i));
        if (socket.writeDatagram(datagram, server, port) == datagram.size())
            ++result.sent;
        else
            ++result.failed;
    }
    result.nanoseconds = clock.nsecsElapsed();
    return result;
}

UdpIngest::Settle UdpIngest::settle(QTcpSocket &socket, int pollMs, int quietMs, const QDeadlineTimer &deadline,
                                    int listAllowanceMs)
{
    Settle result;
    QElapsedTimer clock;
    clock.start();
    qint64 previous = -1;
    qint64 unchangedSince = 0;
    // At least one count, even when the deadline has already passed.
    do {
        result.last = ListProbe::request(socket, QDeadlineTimer(listAllowanceMs));
        ++result.polls;
        if (!result.last.ok) {
            result.error = result.last.error;
            return result;
        }
        const qint64 now = clock.nsecsElapsed();
        if (qint64(result.last.count) != previous) {
            if (previous >= 0)
                result.nanoseconds = now;
            previous = result.last.count;
            unchangedSince = now;
        } else if (now - unchangedSince >= qint64(quietMs) * 1000000) {
            result.quiet = true;
            break;
        }
        QThread::msleep(quint64(qMin<qint64>(pollMs, qMax<qint64>(0, deadline.remainingTime()))));
    } while (!deadline.hasExpired());
    result.ok = true;
    return result;
}

} // namespace NVL::Engineering::VK::Bench
