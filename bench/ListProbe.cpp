#include "ListProbe.h"

#include "BatteryRecord.h"
#include "MessageHeader.h"
#include "RadioPeer.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QtEndian>

namespace NVL::Engineering::VK::Bench {

namespace {

constexpr qint64 HeadSize = MessageHeader::Size + 4;

// Waits until at least count bytes are buffered; false on time-out or a closed connection.
bool waitForBytes(QTcpSocket &socket, qint64 count, const QDeadlineTimer &deadline)
{
    while (socket.bytesAvailable() < count) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            return socket.bytesAvailable() >= count;
    }
    return true;
}

} // namespace

ListProbe::Reply ListProbe::request(QTcpSocket &socket, const QDeadlineTimer &deadline)
{
    Reply reply;
    const QByteArray message = RadioPeer::listRequestMessage();
    QElapsedTimer clock;
    clock.start();
    if (socket.write(message) != message.size()) {
        reply.error = QStringLiteral("list request not written: ") + socket.errorString();
        return reply;
    }
    if (!waitForBytes(socket, HeadSize, deadline)) {
        reply.error = QStringLiteral("no list reply in time (%1)").arg(socket.errorString());
        return reply;
    }
    const QByteArray head = socket.read(HeadSize);
    const MessageHeader header = MessageHeader::fromBytes(head.constData());
    if (!isValidHeader(header) || header.type != quint8(MessageType::ListResponse)) {
        reply.error = QStringLiteral("the reply is not a list response");
        return reply;
    }
    reply.count = qFromLittleEndian<quint32>(head.constData() + MessageHeader::Size);
    const qint64 expected = qint64(reply.count) * BatteryRecord::Size;
    if (header.length != quint32(expected + 4)) {
        reply.error = QStringLiteral("list reply length does not match its count");
        return reply;
    }
    reply.records.reserve(expected);
    while (reply.records.size() < expected) {
        if (!waitForBytes(socket, 1, deadline)) {
            reply.error = QStringLiteral("list reply incomplete: %1 of %2 bytes").arg(reply.records.size()).arg(expected);
            return reply;
        }
        reply.records += socket.read(expected - reply.records.size());
    }
    reply.nanoseconds = clock.nsecsElapsed();
    reply.ok = true;
    return reply;
}

} // namespace NVL::Engineering::VK::Bench
