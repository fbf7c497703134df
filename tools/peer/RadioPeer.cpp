#include "RadioPeer.h"

#include "MessageHeader.h"

#include <QDeadlineTimer>
#include <QHostInfo>
#include <QUdpSocket>
#include <QtEndian>

namespace NVL::Engineering::VK {

namespace {

QByteArray littleEndian32(quint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    return QByteArray(bytes, 4);
}

} // namespace

RadioPeer::RadioPeer(const QString &host, quint16 port, int timeoutMs)
    : m_host(host)
    , m_port(port)
    , m_timeoutMs(timeoutMs)
{
}

bool RadioPeer::fail(const QString &what, bool timedOut, bool unreached)
{
    m_error = what;
    m_timedOut = timedOut;
    m_unreached = unreached;
    return false;
}

bool RadioPeer::connectToServer()
{
    m_socket.connectToHost(m_host, m_port);
    if (m_socket.waitForConnected(m_timeoutMs))
        return true;
    const bool timedOut = m_socket.error() == QAbstractSocket::SocketTimeoutError;
    return fail(QStringLiteral("cannot connect to %1:%2: %3").arg(m_host).arg(m_port).arg(m_socket.errorString()),
                timedOut, !timedOut);
}

void RadioPeer::disconnectFromServer()
{
    m_socket.disconnectFromHost();
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.waitForDisconnected(m_timeoutMs);
}

bool RadioPeer::sendRaw(const QByteArray &bytes)
{
    if (m_socket.write(bytes) != bytes.size())
        return fail(QStringLiteral("write failed: %1").arg(m_socket.errorString()), false);
    while (m_socket.bytesToWrite() > 0)
        if (!m_socket.waitForBytesWritten(m_timeoutMs))
            return fail(QStringLiteral("write to %1:%2 did not complete").arg(m_host).arg(m_port), true);
    return true;
}

bool RadioPeer::sendReport(const BatteryRecord &record)
{
    return sendRaw(reportMessage(record));
}

bool RadioPeer::sendReportDatagram(const BatteryRecord &record)
{
    return sendDatagram(reportMessage(record));
}

bool RadioPeer::sendDatagram(const QByteArray &bytes)
{
    QHostAddress address(m_host);
    if (address.isNull()) {
        const QHostInfo info = QHostInfo::fromName(m_host);
        if (info.addresses().isEmpty())
            return fail(QStringLiteral("cannot resolve %1: %2").arg(m_host, info.errorString()), false, true);
        address = info.addresses().constFirst();
    }
    QUdpSocket udp;
    if (udp.writeDatagram(bytes, address, m_port) != bytes.size())
        return fail(QStringLiteral("datagram to %1:%2 not sent: %3").arg(m_host).arg(m_port).arg(udp.errorString()),
                    false, true);
    return true;
}

std::optional<QByteArray> RadioPeer::readExactly(qint64 count)
{
    const QDeadlineTimer deadline(m_timeoutMs);
    while (m_socket.bytesAvailable() < count) {
        if (deadline.hasExpired() || !m_socket.waitForReadyRead(int(deadline.remainingTime()))) {
            const bool closed = m_socket.state() != QAbstractSocket::ConnectedState;
            fail(closed ? QStringLiteral("%1:%2 closed the connection").arg(m_host).arg(m_port)
                        : QStringLiteral("no reply from %1:%2 within %3 ms").arg(m_host).arg(m_port).arg(m_timeoutMs),
                 !closed);
            return std::nullopt;
        }
    }
    return m_socket.read(count);
}

std::optional<QList<BatteryRecord>> RadioPeer::list()
{
    if (!sendRaw(listRequestMessage()))
        return std::nullopt;
    const auto head = readExactly(MessageHeader::Size + 4);
    if (!head)
        return std::nullopt;
    const MessageHeader header = MessageHeader::fromBytes(head->constData());
    if (!isValidHeader(header) || header.type != quint8(MessageType::ListResponse)) {
        fail(QStringLiteral("unexpected reply from %1:%2").arg(m_host).arg(m_port), false);
        return std::nullopt;
    }
    const quint32 count = qFromLittleEndian<quint32>(head->constData() + MessageHeader::Size);
    if (header.length != count * 64 + 4) {
        fail(QStringLiteral("list reply length does not match its count"), false);
        return std::nullopt;
    }
    QList<BatteryRecord> records;
    records.reserve(qsizetype(count));
    for (quint32 i = 0; i < count; ++i) {
        const auto bytes = readExactly(BatteryRecord::Size);
        if (!bytes)
            return std::nullopt;
        records.append(BatteryRecord::fromBytes(*bytes));
    }
    return records;
}

bool RadioPeer::deleteSerials(const QList<QByteArray> &serials)
{
    return sendRaw(deleteRequestMessage(serials));
}

std::optional<quint8> RadioPeer::version(quint8 ownVersion)
{
    if (!sendRaw(versionRequestMessage(ownVersion)))
        return std::nullopt;
    const auto reply = readExactly(MessageHeader::Size + 1);
    if (!reply)
        return std::nullopt;
    const MessageHeader header = MessageHeader::fromBytes(reply->constData());
    if (!isValidHeader(header) || header.type != quint8(MessageType::VersionResponse)) {
        fail(QStringLiteral("unexpected reply from %1:%2").arg(m_host).arg(m_port), false);
        return std::nullopt;
    }
    return quint8(reply->at(MessageHeader::Size));
}

QByteArray RadioPeer::reportMessage(const BatteryRecord &record)
{
    return makeHeader(MessageType::BatteryReport).toBytes() + record.toBytes();
}

QByteArray RadioPeer::listRequestMessage()
{
    return makeHeader(MessageType::ListRequest).toBytes();
}

QByteArray RadioPeer::versionRequestMessage(quint8 ownVersion)
{
    return makeHeader(MessageType::VersionRequest).toBytes() + char(ownVersion);
}

QByteArray RadioPeer::deleteRequestMessage(const QList<QByteArray> &serials)
{
    QByteArray message = makeHeader(MessageType::DeleteRequest, quint32(4 + 8 * serials.size())).toBytes();
    message += littleEndian32(quint32(serials.size()));
    for (const QByteArray &serial : serials)
        message += serial.leftJustified(8, '\0', true);
    return message;
}

} // namespace NVL::Engineering::VK
