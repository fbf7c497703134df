// The radio path of the real server program: reports in, list/delete/version out, protocol faults.
#include "MessageHeader.h"
#include "RadioPeer.h"
#include "VoltkeepProcess.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>
#include <QtEndian>
#include <QtTest>

#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace NVL::Engineering::VK;

namespace {

const QString loopback = QStringLiteral("127.0.0.1");

BatteryRecord record(quint8 serial0, quint8 serial7, quint8 version = 1)
{
    BatteryRecord r;
    r.version = version;
    r.serial[0] = serial0;
    r.serial[7] = serial7;
    r.esn[0] = 0xAB;
    r.cycleCount = 120;
    r.fullCapacity = 3500;
    r.typeCode = 7;
    std::memcpy(r.alias, "unit", 4);
    r.reportAddress = 0xDEADBEEF; // the server overwrites these two
    r.reportTime = 1;
    return r;
}

// Everything but the bytes the server stamps.
QByteArray radioPart(const BatteryRecord &r)
{
    return r.toBytes().left(56);
}

} // namespace

class TestServerRadio : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<VoltkeepProcess> m_server;

    bool startServer()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_server = std::make_unique<VoltkeepProcess>(m_dir->path());
        m_server->setPort(VoltkeepProcess::freePort());
        return m_server->start() && m_server->log().contains(QLatin1String("Accepting connections on port"));
    }

    std::unique_ptr<RadioPeer> connectedPeer(const QString &host = loopback)
    {
        auto peer = std::make_unique<RadioPeer>(host, m_server->port(), 5000);
        if (!peer->connectToServer())
            return nullptr;
        return peer;
    }

    QList<BatteryRecord> listAll()
    {
        auto peer = connectedPeer();
        if (!peer)
            return {};
        const auto records = peer->list();
        return records ? *records : QList<BatteryRecord>();
    }

    void sendDatagram(const QByteArray &bytes, const QHostAddress &to = QHostAddress::LocalHost)
    {
        QUdpSocket udp;
        QCOMPARE(udp.writeDatagram(bytes, to, m_server->port()), qint64(bytes.size()));
    }

private Q_SLOTS:
    void init() { QVERIFY(startServer()); }
    void cleanup() { m_server.reset(); m_dir.reset(); }

    void reportsAreStampedWithSenderAndTime()
    {
        const quint32 before = quint32(QDateTime::currentSecsSinceEpoch());
        const BatteryRecord overUdp = record(0x02, 0x01);
        const BatteryRecord overTcp = record(0x01, 0x01);
        sendDatagram(RadioPeer::reportMessage(overUdp));
        auto peer = connectedPeer();
        QVERIFY(peer);
        QVERIFY(peer->sendReport(overTcp));
        // The datagram may still be in flight; wait for it through the list itself.
        QList<BatteryRecord> listed;
        QTRY_COMPARE_WITH_TIMEOUT((listed = listAll()).size(), 2, 5000);
        const quint32 after = quint32(QDateTime::currentSecsSinceEpoch());
        QCOMPARE(radioPart(listed[0]), radioPart(overTcp)); // ascending serial: 01.. before 02..
        QCOMPARE(radioPart(listed[1]), radioPart(overUdp));
        for (const BatteryRecord &r : listed) {
            QCOMPARE(r.reportAddress, 0x7F000001u);
            QVERIFY(r.reportTime >= before && r.reportTime <= after);
        }
    }

    void ipv6PeerWithoutIpv4FormIsStoredWithAddressZero()
    {
        auto peer = connectedPeer(QStringLiteral("::1"));
        if (!peer)
            QSKIP("no IPv6 loopback on this machine");
        QVERIFY(peer->sendReport(record(0x05, 0x05)));
        sendDatagram(RadioPeer::reportMessage(record(0x06, 0x06)), QHostAddress::LocalHostIPv6);
        QList<BatteryRecord> listed;
        QTRY_COMPARE_WITH_TIMEOUT((listed = listAll()).size(), 2, 5000);
        QCOMPARE(listed[0].reportAddress, 0u);
        QCOMPARE(listed[1].reportAddress, 0u);
        // Said once a run, with the address the record cannot hold.
        const QLatin1String told("Reports from IPv6 peers (the first: ::1) are stored with Report IP 0.0.0.0");
        QTRY_COMPARE_WITH_TIMEOUT(m_server->log().count(told), 1, 5000);
    }

    void reportsOfAConnectionResetBeforeItIsAcceptedKeepTheSender()
    {
        // The server is held still, so the whole connection (reports, then a reset) waits in the kernel's
        // queue: by the time it is accepted the peer is gone and only the accept itself still knows them.
        const pid_t pid = pid_t(m_server->processId());
        QCOMPARE(::kill(pid, SIGSTOP), 0);
        auto resume = qScopeGuard([pid] { ::kill(pid, SIGCONT); });
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        auto closeFd = qScopeGuard([fd] { ::close(fd); });
        sockaddr_in to {};
        to.sin_family = AF_INET;
        to.sin_port = htons(m_server->port());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to), 0);
        QByteArray reports;
        for (quint8 i = 0; i < 3; ++i)
            reports += RadioPeer::reportMessage(record(0x40, i));
        QCOMPARE(::send(fd, reports.constData(), size_t(reports.size()), 0), ssize_t(reports.size()));
        const linger abort {1, 0};
        QCOMPARE(::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
        closeFd.dismiss();
        QCOMPARE(::close(fd), 0);
        resume.dismiss();
        QCOMPARE(::kill(pid, SIGCONT), 0);

        QVERIFY(m_server->waitForLog(QStringLiteral("Information: Disconnected")));
        const QList<BatteryRecord> listed = listAll();
        QCOMPARE(listed.size(), 3);
        for (const BatteryRecord &r : listed)
            QCOMPARE(r.reportAddress, 0x7F000001u);
        const QString log = m_server->log();
        QVERIFY2(log.contains(QLatin1String("Incoming Connection from ::ffff:127.0.0.1")), qPrintable(log));
    }

    void emptyListIsExactlySixteenBytes()
    {
        auto peer = connectedPeer();
        QVERIFY(peer);
        // The version request behind the list proves that nothing follows the 16 bytes.
        QVERIFY(peer->sendRaw(RadioPeer::listRequestMessage() + RadioPeer::versionRequestMessage(1)));
        const auto reply = peer->readExactly(16 + 13);
        QVERIFY(reply);
        QCOMPARE(reply->left(16), QByteArray::fromHex("4241545301050000040000000000000"
                                                      "0"));
        QCOMPARE(reply->mid(16), QByteArray::fromHex("42415453010200000100000001"));
    }

    void listIsSortedByteWiseAndSkipsInvalidRecords()
    {
        auto peer = connectedPeer();
        QVERIFY(peer);
        QVERIFY(peer->sendReport(record(0x01, 0x00)));
        QVERIFY(peer->sendReport(record(0x00, 0x01)));
        QVERIFY(peer->sendReport(record(0x00, 0x02, 0))); // version 0: stored, but never listed
        QVERIFY(peer->sendReport(record(0x00, 0x03, 2)));
        QVERIFY(peer->sendRaw(RadioPeer::listRequestMessage()));
        const auto head = peer->readExactly(16);
        QVERIFY(head);
        QCOMPARE(qFromLittleEndian<quint32>(head->constData() + 8), 3u * 64 + 4);
        QCOMPARE(qFromLittleEndian<quint32>(head->constData() + 12), 3u);
        const auto body = peer->readExactly(3 * 64);
        QVERIFY(body);
        QCOMPARE(quint8(body->at(4)), quint8(0x00));
        QCOMPARE(quint8(body->at(11)), quint8(0x01));
        QCOMPARE(quint8(body->at(64 + 11)), quint8(0x03));
        QCOMPARE(quint8(body->at(64 + 0)), quint8(2));
        QCOMPARE(quint8(body->at(128 + 4)), quint8(0x01));
    }

    void sameBatteryKeepsTheLaterReport()
    {
        auto peer = connectedPeer();
        QVERIFY(peer);
        BatteryRecord first = record(0x09, 0x09);
        BatteryRecord second = first;
        second.cycleCount = 999;
        QVERIFY(peer->sendReport(first));
        QVERIFY(peer->sendReport(second));
        const QList<BatteryRecord> listed = listAll();
        QCOMPARE(listed.size(), 1);
        QCOMPARE(listed[0].cycleCount, quint16(999));
    }

    void deleteWithNoneOneAndSeveral()
    {
        auto peer = connectedPeer();
        QVERIFY(peer);
        for (quint8 i = 1; i <= 5; ++i)
            QVERIFY(peer->sendReport(record(i, 0)));
        // Count 0 reads nothing further: the list request right behind it is answered in full.
        QVERIFY(peer->sendRaw(RadioPeer::deleteRequestMessage({})));
        auto records = peer->list();
        QVERIFY(records);
        QCOMPARE(records->size(), 5);

        QVERIFY(peer->deleteSerials({record(3, 0).serialKey()}));
        records = peer->list();
        QVERIFY(records);
        QCOMPARE(records->size(), 4);

        const QByteArray unknown(8, '\x7F');
        QVERIFY(peer->deleteSerials({record(1, 0).serialKey(), unknown, record(5, 0).serialKey()}));
        records = peer->list();
        QVERIFY(records);
        QCOMPARE(records->size(), 2);
        QCOMPARE(records->at(0).serial[0], quint8(2));
        QCOMPARE(records->at(1).serial[0], quint8(4));
    }

    void deleteSerialsThatNeverComeSkipTheRestButKeepTheConnection()
    {
        auto peer = connectedPeer();
        QVERIFY(peer);
        QVERIFY(peer->sendReport(record(1, 0)));
        QVERIFY(peer->sendReport(record(2, 0)));
        // Announces two serials, sends one.
        QByteArray request = RadioPeer::deleteRequestMessage({record(1, 0).serialKey(), record(2, 0).serialKey()});
        request.chop(8);
        QVERIFY(peer->sendRaw(request));
        QVERIFY(m_server->waitForLog(QStringLiteral("Error: Network error: read timeout")));
        const auto records = peer->list();
        QVERIFY2(records, qPrintable(peer->errorString() + QLatin1Char('\n') + m_server->log()));
        QCOMPARE(records->size(), 1);
        QCOMPARE(records->at(0).serial[0], quint8(2));
    }

    void versionReplyAndNewerPeer()
    {
        auto peer = connectedPeer();
        QVERIFY(peer);
        QVERIFY(peer->sendRaw(RadioPeer::versionRequestMessage(1)));
        const auto reply = peer->readExactly(13);
        QVERIFY(reply);
        QCOMPARE(*reply, QByteArray::fromHex("42415453010200000100000001"));
        QCOMPARE(m_server->countInLog(QStringLiteral("Newer protocol version")), 0);

        const auto version = peer->version(2);
        QVERIFY(version);
        QCOMPARE(*version, quint8(1));
        QVERIFY(m_server->waitForLog(
            QStringLiteral("Information: Newer protocol version (2) detected. Do you need to upgrade?")));
    }

    void twoMessagesInOneSegment()
    {
        auto peer = connectedPeer();
        QVERIFY(peer);
        QVERIFY(peer->sendRaw(RadioPeer::reportMessage(record(4, 4)) + RadioPeer::listRequestMessage()));
        const auto head = peer->readExactly(16);
        QVERIFY(head);
        QCOMPARE(qFromLittleEndian<quint32>(head->constData() + 12), 1u);
        QVERIFY(peer->readExactly(64));
    }

    void headerInTwoPartsWithinTheWait()
    {
        auto peer = connectedPeer();
        QVERIFY(peer);
        const QByteArray message = RadioPeer::versionRequestMessage(1);
        QVERIFY(peer->sendRaw(message.left(5)));
        QThread::msleep(100); // the delay is the input under test
        QVERIFY(peer->sendRaw(message.mid(5)));
        const auto reply = peer->readExactly(13);
        QVERIFY(reply);
        QCOMPARE(reply->size(), 13);
    }

    void partArrivingTooLateClosesTheConnection()
    {
        auto peer = connectedPeer();
        QVERIFY(peer);
        const QByteArray message = RadioPeer::versionRequestMessage(1);
        QVERIFY(peer->sendRaw(message.left(5)));
        QThread::msleep(600); // the delay is the input under test
        peer->socket().write(message.mid(5));
        QVERIFY(peer->socket().state() == QAbstractSocket::UnconnectedState || peer->socket().waitForDisconnected(5000));
        QVERIFY(m_server->waitForLog(QStringLiteral("Error: Network error: read timeout")));
        QVERIFY(m_server->waitForLog(QStringLiteral("Information: Disconnected")));
        QCOMPARE(peer->socket().bytesAvailable(), qint64(0)); // no version reply
        QCOMPARE(m_server->countInLog(QStringLiteral("Warning: Network error")), 0); // the time-out is told once
    }

    void invalidHeaderClosesWithWarning()
    {
        auto peer = connectedPeer();
        QVERIFY(peer);
        QByteArray bad = RadioPeer::listRequestMessage();
        bad[4] = 2; // version 2 headers are not ours
        QVERIFY(peer->sendRaw(bad));
        QVERIFY(m_server->waitForLog(QStringLiteral("Warning: Protocol error: invalid message")));
        QVERIFY(peer->socket().state() == QAbstractSocket::UnconnectedState || peer->socket().waitForDisconnected(5000));
    }

    void serverOnlyMessagesAreRefusedButTheConnectionStays()
    {
        auto peer = connectedPeer();
        QVERIFY(peer);
        QVERIFY(peer->sendRaw(makeHeader(MessageType::VersionResponse).toBytes() + char(1)));
        QVERIFY(m_server->waitForLog(QStringLiteral("Warning: Voltkeep Protocol Error: Invalid Message")));
        const auto records = peer->list();
        QVERIFY(records);
        QCOMPARE(records->size(), 0);
    }

    void peerClosingLogsDisconnectedOnce()
    {
        {
            auto peer = connectedPeer();
            QVERIFY(peer);
            QVERIFY(m_server->waitForLog(QStringLiteral("Incoming Connection from")));
            peer->disconnectFromServer();
        }
        QVERIFY(m_server->waitForLog(QStringLiteral("Information: Disconnected")));
        // A second connection that is answered shows the server has handled everything of the first.
        auto marker = connectedPeer();
        QVERIFY(marker);
        QVERIFY(marker->version());
        QCOMPARE(m_server->countInLog(QStringLiteral("Disconnected")), 1);
        QCOMPARE(m_server->countInLog(QStringLiteral("Network error")), 0);
    }

    void datagramCases()
    {
        const BatteryRecord accepted = record(0x30, 0x01);
        sendDatagram(RadioPeer::reportMessage(record(0x31, 0x01)).left(11));
        QVERIFY(m_server->waitForLog(QStringLiteral("Warning: Protocol error: invalid message received")));
        sendDatagram(RadioPeer::listRequestMessage());
        QVERIFY(m_server->waitForLog(QStringLiteral("Warning: Protocol error: invalid or unsupported message")));
        // Too short for its record: dropped rather than stored with undefined bytes.
        sendDatagram(RadioPeer::reportMessage(record(0x32, 0x01)).left(40));
        QVERIFY(m_server->waitForLog(QStringLiteral("Warning: Protocol error: invalid message received"), 5000, 2));
        sendDatagram(RadioPeer::reportMessage(record(0x33, 0x01)).left(75));
        QVERIFY(m_server->waitForLog(QStringLiteral("Warning: Protocol error: invalid message received"), 5000, 3));
        // Longer than a report: the first 76 bytes count.
        sendDatagram(RadioPeer::reportMessage(accepted) + QByteArray(24, '\x55'));
        QList<BatteryRecord> listed;
        QTRY_COMPARE_WITH_TIMEOUT((listed = listAll()).size(), 1, 5000);
        QCOMPARE(radioPart(listed[0]), radioPart(accepted));
    }
};

QTEST_GUILESS_MAIN(TestServerRadio)
#include "tst_serverradio.moc"
