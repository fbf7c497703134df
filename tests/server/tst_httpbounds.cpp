// The HTTP side's bounds on the real server: sizes answered as soon as they are passed, bodies refused,
// heads and idle connections timed out, HTTP/1.0 and Connection: close closed after the answer, HEAD
// without a body, and connections past the per-address or the total bound closed at once while radios
// are served.
#include "RadioPeer.h"
#include "VoltkeepProcess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace NVL::Engineering::VK;

namespace {

const QString Loopback = QStringLiteral("127.0.0.1");

} // namespace

class TestHttpBounds : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<VoltkeepProcess> m_server;
    quint16 m_httpPort = 0;

    std::unique_ptr<QTcpSocket> connectHttp()
    {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(Loopback, m_httpPort);
        return socket->waitForConnected(5000) ? std::move(socket) : nullptr;
    }

    // Everything the server sends until it closes the connection, or until the deadline.
    static QByteArray readToClose(QTcpSocket &socket, int deadlineMs, bool *closed)
    {
        QByteArray all;
        QElapsedTimer clock;
        clock.start();
        while (socket.state() == QAbstractSocket::ConnectedState && clock.elapsed() < deadlineMs) {
            socket.waitForReadyRead(100);
            all += socket.readAll();
        }
        all += socket.readAll();
        *closed = socket.state() != QAbstractSocket::ConnectedState;
        return all;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_server = std::make_unique<VoltkeepProcess>(m_dir.path());
        m_server->setPort(VoltkeepProcess::freePort());
        m_httpPort = VoltkeepProcess::freePort();
        QFile cfg(m_server->dataFolder() + QStringLiteral("/vk.cfg"));
        QVERIFY(cfg.open(QIODevice::WriteOnly | QIODevice::Truncate));
        cfg.write("[General]\nport=" + QByteArray::number(m_server->port()) + "\n[http]\nlisten=127.0.0.1:"
                  + QByteArray::number(m_httpPort)
                  + "\nperAddress=3\nheadSeconds=1\nidleSeconds=2\nrequestLineBytes=512\nheaderBytes=2048\n");
        cfg.close();
        QVERIFY(m_server->start());
    }

    void bounds_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer"); // the start of what comes back
        QTest::addColumn<bool>("withBody");
        QTest::addColumn<int>("closedWithinMs"); // -1: stays open
        const QByteArray get = "GET /healthz HTTP/1.1\r\nHost: x\r\n";
        QTest::newRow("line too long, no end sent") << "GET /" + QByteArray(600, 'a') << QByteArray("HTTP/1.1 414") << true << 500;
        QTest::newRow("head too large, no end sent") << get + "X-Fill: " + QByteArray(3000, 'b') << QByteArray("HTTP/1.1 431")
                                                     << true << 500;
        QTest::newRow("a body") << QByteArray("POST /api/v1/batteries HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello")
                                << QByteArray("HTTP/1.1 413") << true << 500;
        QTest::newRow("head never completed") << get << QByteArray("HTTP/1.1 408") << true << 2500;
        QTest::newRow("HTTP/1.0") << QByteArray("GET /healthz HTTP/1.0\r\n\r\n") << QByteArray("HTTP/1.1 200") << true << 500;
        QTest::newRow("Connection: close") << get + "Connection: close\r\n\r\n" << QByteArray("HTTP/1.1 200") << true << 500;
        QTest::newRow("kept alive, then idle") << get + "\r\n" << QByteArray("HTTP/1.1 200") << true << 3500;
        QTest::newRow("HEAD") << QByteArray("HEAD /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                              << QByteArray("HTTP/1.1 200") << false << 500;
        QTest::newRow("no version") << QByteArray("GET /healthz\r\n\r\n") << QByteArray("HTTP/1.1 400") << true << 500;
        QTest::newRow("two lengths") << get + "Content-Length: 0\r\nContent-Length: 5\r\n\r\n" << QByteArray("HTTP/1.1 400")
                                     << true << 500;
    }

    void bounds()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        QFETCH(bool, withBody);
        QFETCH(int, closedWithinMs);
        const auto socket = connectHttp();
        QVERIFY(socket);
        QElapsedTimer clock;
        clock.start();
        socket->write(request);
        bool closed = false;
        const QByteArray got = readToClose(*socket, 5000, &closed);
        QVERIFY2(got.startsWith(answer), got.left(80).constData());
        QVERIFY2(closed && clock.elapsed() <= closedWithinMs, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(got.endsWith("\r\n\r\n"), !withBody);
    }

    // HEAD says what GET would, its length too, and sends no body.
    void headHasTheLengthOfGet()
    {
        const auto socket = connectHttp();
        QVERIFY(socket);
        socket->write("HEAD /healthz HTTP/1.1\r\nHost: x\r\n\r\nGET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        bool closed = false;
        const QByteArray got = readToClose(*socket, 5000, &closed);
        const qsizetype second = got.indexOf("HTTP/1.1", 1);
        QVERIFY2(second > 0 && got.left(second).contains("Content-Length: 3\r\n") && got.left(second).endsWith("\r\n\r\n"),
                 got.constData());
        QVERIFY(got.mid(second).contains("Content-Length: 3\r\n") && got.endsWith("\r\n\r\nok\n"));
    }

    // Requests sent in one go are all answered, in the order they came, whatever their number; the
    // answers before one that closes the connection go out before it closes.
    void pipelinedRequestsAnsweredInOrder_data()
    {
        QTest::addColumn<int>("requests");
        QTest::addColumn<int>("closingAt"); // the request that asks for the close, counted from 0
        for (const int n : {1, 16, 100, 4000})
            QTest::newRow(qPrintable(QStringLiteral("%1 requests").arg(n))) << n << n - 1;
        QTest::newRow("close in the middle") << 3 << 1;
    }

    void pipelinedRequestsAnsweredInOrder()
    {
        QFETCH(int, requests);
        QFETCH(int, closingAt);
        const auto socket = connectHttp();
        QVERIFY(socket);
        // Each asks for a battery no one has, by a key of its own: the answer names the key.
        const auto key = [](int i) { return QByteArray::number(i, 16).rightJustified(16, '0'); };
        QByteArray all;
        for (int i = 0; i < requests; ++i)
            all += "GET /api/v1/batteries/" + key(i) + " HTTP/1.1\r\nHost: x\r\n" + (i == closingAt ? "Connection: close\r\n" : "")
                + "\r\n";
        socket->write(all);
        bool closed = false;
        const QByteArray got = readToClose(*socket, 30000, &closed);
        QVERIFY(closed);
        QList<QByteArray> keys;
        for (qsizetype at = got.indexOf("no battery with serial "); at >= 0; at = got.indexOf("no battery with serial ", at + 1))
            keys << got.mid(at + 23, 16);
        QCOMPARE(keys.size(), closingAt + 1);
        for (int i = 0; i <= closingAt; ++i)
            QCOMPARE(keys[i], key(i));
        QCOMPARE(got.count("HTTP/1.1 404"), closingAt + 1);
    }

    void perAddressBoundKeepsRadiosServed()
    {
        std::vector<std::unique_ptr<QTcpSocket>> held;
        for (int i = 0; i < 3; ++i) {
            held.push_back(connectHttp());
            QVERIFY(held.back());
        }
        QTest::qWait(50); // let the server take them in order
        for (int i = 0; i < 2; ++i) {
            const auto refused = connectHttp();
            QVERIFY(refused);
            bool closed = false;
            QVERIFY(readToClose(*refused, 2000, &closed).isEmpty());
            QVERIFY(closed);
        }
        QVERIFY(m_server->waitForLog(QStringLiteral("HTTP connections from 127.0.0.1 refused: 3 are open")));
        QCOMPARE(m_server->countInLog(QStringLiteral("HTTP connections from 127.0.0.1 refused")), 1);
        RadioPeer peer(Loopback, m_server->port());
        QVERIFY(peer.connectToServer());
        QVERIFY(peer.version().has_value());
    }

    void totalBoundKeepsRadiosServed()
    {
        // A second server whose total bound is under its per-address one: the total is what refuses.
        QTemporaryDir dir;
        VoltkeepProcess server(dir.path());
        server.setPort(VoltkeepProcess::freePort());
        const quint16 httpPort = VoltkeepProcess::freePort();
        QFile cfg(server.dataFolder() + QStringLiteral("/vk.cfg"));
        QVERIFY(cfg.open(QIODevice::WriteOnly | QIODevice::Truncate));
        cfg.write("[General]\nport=" + QByteArray::number(server.port()) + "\n[http]\nlisten=127.0.0.1:"
                  + QByteArray::number(httpPort) + "\nconnections=2\nperAddress=16\n");
        cfg.close();
        QVERIFY(server.start());
        std::vector<std::unique_ptr<QTcpSocket>> held;
        for (int i = 0; i < 3; ++i) {
            held.push_back(std::make_unique<QTcpSocket>());
            held.back()->connectToHost(Loopback, httpPort);
            QVERIFY(held.back()->waitForConnected(5000));
            QTest::qWait(20); // taken in order
        }
        bool closed = false;
        QVERIFY(readToClose(*held.back(), 2000, &closed).isEmpty() && closed);
        QVERIFY(server.waitForLog(QStringLiteral("HTTP connections refused: 2 are open")));
        RadioPeer peer(Loopback, server.port());
        QVERIFY(peer.connectToServer());
        QVERIFY(peer.version().has_value());
    }
};

QTEST_GUILESS_MAIN(TestHttpBounds)
#include "tst_httpbounds.moc"
