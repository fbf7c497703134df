// Start-up of the real server program: port setting, database failures, durability across a kill.
#include "DatabaseLayout.h"
#include "FifoWatchdog.h"
#include "RadioPeer.h"
#include "VoltkeepProcess.h"

#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

using namespace NVL::Engineering::VK;

namespace {

bool answersVersion(quint16 port)
{
    RadioPeer peer(QStringLiteral("127.0.0.1"), port, 3000);
    return peer.connectToServer() && peer.version().has_value();
}

QString bannerPort(const QString &log)
{
    const QString marker = QStringLiteral("Accepting connections on port: ");
    const int at = log.indexOf(marker);
    if (at < 0)
        return QString();
    const int end = log.indexOf(QLatin1Char(' '), at + marker.size());
    return log.mid(at + marker.size(), end - at - marker.size());
}

} // namespace

class TestServerStartup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void bannerAndDefaultPort()
    {
        QTemporaryDir dir;
        VoltkeepProcess server(dir.path());
        QVERIFY(server.start());
        QVERIFY2(server.log().contains(QLatin1String("Success: Voltkeep 1.30.5.22\nAccepting connections on port: 9362 (TCP + UDP)\n")),
                 qPrintable(server.log()));
        if (!server.log().contains(QLatin1String("Failed to listen")))
            QVERIFY(answersVersion(9362));
        QVERIFY(QFile::exists(server.dataFolder() + QStringLiteral("/vk.db")));
    }

    void portAbove65535UsesItsLow16Bits()
    {
        QTemporaryDir dir;
        VoltkeepProcess server(dir.path());
        const quint16 port = VoltkeepProcess::freePort();
        server.writePortSetting(QString::number(quint32(port) + 65536u));
        QVERIFY(server.start());
        QCOMPARE(bannerPort(server.log()), QString::number(port));
        QVERIFY(answersVersion(port));
    }

    void portThatIsNotANumberCountsAsZero()
    {
        QTemporaryDir dir;
        VoltkeepProcess server(dir.path());
        server.writePortSetting(QStringLiteral("radio"));
        QVERIFY(server.start());
        QCOMPARE(bannerPort(server.log()), QStringLiteral("0"));
        QVERIFY(!server.log().contains(QLatin1String("Failed to listen")));
        QVERIFY(!server.log().contains(QLatin1String("Unable to bind UDP socket")));
    }

    // How a run in the foreground ends: a start that failed with status 1 (nobody could be served),
    // Ctrl+C or SIGTERM with the stop a service manager's request runs, and status 0.
    void foregroundRunEndsWithItsStatus_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("end"); // of the log
        const QString failed = QStringLiteral("Error: Voltkeep could not start and ends (exit status 1)\n");
        const QString inUse = QStringLiteral("The bound address is already in use\n") + failed;
        QTest::newRow("database") << "database" << 0 << 1 << "Error: Failed to open database\n" + failed;
        QTest::newRow("TCP port taken") << "tcp" << 0 << 1 << "Error: Voltkeep Failed to listen for connections: " + inUse;
        QTest::newRow("UDP port taken") << "udp" << 0 << 1 << "Error: Unable to bind UDP socket to port %1: " + inUse;
        QTest::newRow("SIGINT") << QString() << int(SIGINT) << 0 << "Success: Voltkeep Stopped\n";
        QTest::newRow("SIGTERM") << QString() << int(SIGTERM) << 0 << "Success: Voltkeep Stopped\n";
    }

    void foregroundRunEndsWithItsStatus()
    {
        QFETCH(QString, obstacle);
        QFETCH(int, signalNumber);
        QFETCH(int, status);
        QFETCH(QString, end);
        QTemporaryDir dir;
        VoltkeepProcess server(dir.path());
        const quint16 port = VoltkeepProcess::freePort();
        server.setPort(port);
        QTcpServer tcp;
        QUdpSocket udp;
        if (obstacle == QLatin1String("database")) // a folder where the file belongs
            QVERIFY(QDir().mkpath(server.dataFolder() + QStringLiteral("/vk.db")));
        QVERIFY(obstacle != QLatin1String("tcp") || tcp.listen(QHostAddress::LocalHost, port));
        QVERIFY(obstacle != QLatin1String("udp") || udp.bind(QHostAddress::LocalHost, port, QUdpSocket::DontShareAddress));
        QVERIFY(server.start());
        if (signalNumber != 0) {
            QVERIFY(answersVersion(port));
            QCOMPARE(::kill(pid_t(server.processId()), signalNumber), 0);
        }
        QCOMPARE(server.waitForExit(), status);
        QVERIFY2(server.log().endsWith(end.arg(port)), qPrintable(server.log()));
        QCOMPARE(server.countInLog(QStringLiteral("Error:")), status == 0 ? 0 : 2);
    }

    // Start-up reads the notification list; a FIFO there must cost an Error, not the service.
    void fifoInPlaceOfTheConfigurationFile()
    {
        QTemporaryDir dir;
        VoltkeepProcess server(dir.path());
        const quint16 port = VoltkeepProcess::freePort();
        server.setPort(port);
        QVERIFY(QDir().mkpath(QFileInfo(server.configurationFile()).path()));
        QCOMPARE(::mkfifo(QFile::encodeName(server.configurationFile()).constData(), 0600), 0);
        FifoWatchdog watchdog(server.configurationFile());
        QVERIFY(server.start());
        QVERIFY2(!watchdog.stop(), "start-up waited for a writer");
        QVERIFY2(server.log().contains(QLatin1String("Error: Cannot read the notification configuration")),
                 qPrintable(server.log()));
        QVERIFY(answersVersion(port));
        struct stat status; // still the FIFO: no default document was written over it
        QCOMPARE(::lstat(QFile::encodeName(server.configurationFile()).constData(), &status), 0);
        QVERIFY(S_ISFIFO(status.st_mode));
    }

    void storedReportsSurviveSigkill()
    {
        QTemporaryDir dir;
        const quint16 port = VoltkeepProcess::freePort();
        QList<QByteArray> sent;
        {
            VoltkeepProcess server(dir.path());
            server.setPort(port);
            QVERIFY(server.start());
            RadioPeer peer(QStringLiteral("127.0.0.1"), port);
            QVERIFY(peer.connectToServer());
            for (int i = 0; i < 150; ++i) { // past the checkpoint after the 100th save
                BatteryRecord r;
                r.version = 1;
                r.serial[6] = quint8(i >> 8);
                r.serial[7] = quint8(i);
                r.cycleCount = quint16(i);
                QVERIFY(peer.sendReport(r));
                sent << r.serialKey();
            }
            const auto listed = peer.list(); // answered only after every report was saved
            QVERIFY(listed);
            QCOMPARE(listed->size(), 150);
            server.kill();
        }
        VoltkeepProcess again(dir.path());
        again.setPort(port);
        QVERIFY(again.start());
        QVERIFY2(!again.log().contains(QLatin1String("Error")), qPrintable(again.log()));
        RadioPeer peer(QStringLiteral("127.0.0.1"), port);
        QVERIFY(peer.connectToServer());
        const auto listed = peer.list();
        QVERIFY(listed);
        QCOMPARE(listed->size(), 150);
        for (int i = 0; i < 150; ++i) {
            QCOMPARE(listed->at(i).serialKey(), sent[i]);
            QCOMPARE(listed->at(i).cycleCount, quint16(i));
        }
    }

    // A crash leaves 1,000 reports in the main file and 50 in the log; then a page in the middle of
    // the main file goes bad. The server keeps the damaged files, serves every readable report and
    // starts cleanly from then on.
    void damagedDatabaseIsSalvagedAndServed()
    {
        QTemporaryDir dir;
        const quint16 port = VoltkeepProcess::freePort();
        constexpr int Reports = 1050;
        QString database;
        {
            VoltkeepProcess server(dir.path());
            server.setPort(port);
            QVERIFY(server.start());
            database = server.dataFolder() + QStringLiteral("/vk.db");
            // The list is answered once every report is saved, each with a full sync: give it time.
            RadioPeer peer(QStringLiteral("127.0.0.1"), port, 120000);
            QVERIFY(peer.connectToServer());
            for (int i = 0; i < Reports; ++i) {
                BatteryRecord r;
                r.version = 1;
                r.serial[6] = quint8(i >> 8);
                r.serial[7] = quint8(i);
                r.cycleCount = quint16(i);
                QVERIFY(peer.sendReport(r));
                // A list stores what came before it: the first thousand are checkpointed together.
                if (i == 999)
                    QVERIFY(peer.list());
            }
            const auto listed = peer.list();
            QVERIFY(listed);
            QCOMPARE(listed->size(), Reports);
            server.kill();
        }
        QVERIFY(QFileInfo(database + QStringLiteral("-wal")).size() > 0);
        const DatabaseLayout layout(database, database + QStringLiteral("-wal"));
        QVERIFY(layout.isValid());
        const DatabaseLayout::Page page = layout.middlePage(QStringLiteral("batteries"), QStringLiteral("leaf"));
        QVERIFY(page.cells > 0);
        QVERIFY(DatabaseLayout::overwritePage(database, page.number));
        const int expected = Reports - page.cells;

        QList<BatteryRecord> served;
        {
            VoltkeepProcess server(dir.path());
            server.setPort(port);
            QVERIFY(server.start());
            const QString log = server.log();
            QVERIFY2(log.contains(QStringLiteral("Error: Database damaged: kept as %1.damaged-").arg(database)),
                     qPrintable(log));
            const QString counts = QStringLiteral("Reports salvaged: %1. Rows lost: %2.\n").arg(expected).arg(page.cells);
            QVERIFY2(log.contains(counts), qPrintable(log));
            QVERIFY(log.contains(QLatin1String("Accepting connections")));
            RadioPeer peer(QStringLiteral("127.0.0.1"), port);
            QVERIFY(peer.connectToServer());
            const auto listed = peer.list();
            QVERIFY(listed);
            QCOMPARE(listed->size(), expected);
            served = *listed;
            for (int i = 1000; i < Reports; ++i) // those only the log held
                QVERIFY(std::any_of(served.cbegin(), served.cend(), [i](const BatteryRecord &r) {
                    return r.serial[6] == quint8(i >> 8) && r.serial[7] == quint8(i) && r.cycleCount == i;
                }));
            server.kill();
        }
        for (int restart = 1; restart <= 3; ++restart) {
            VoltkeepProcess server(dir.path());
            server.setPort(port);
            QVERIFY(server.start());
            QVERIFY2(!server.log().contains(QLatin1String("Error")), qPrintable(server.log()));
            RadioPeer peer(QStringLiteral("127.0.0.1"), port);
            QVERIFY(peer.connectToServer());
            const auto listed = peer.list();
            QVERIFY(listed);
            QCOMPARE(listed->size(), served.size());
            for (int i = 0; i < served.size(); ++i)
                QCOMPARE(listed->at(i).toBytes(), served.at(i).toBytes());
            // A report acknowledged now, held only by the log at the crash, is there at the next start.
            BatteryRecord r;
            r.version = 1;
            r.serial[5] = 0xEE;
            r.serial[7] = quint8(restart);
            QVERIFY(peer.sendReport(r));
            const auto withNew = peer.list();
            QVERIFY(withNew);
            QCOMPARE(withNew->size(), served.size() + 1);
            served = *withNew;
            server.kill();
        }
        QCOMPARE(served.size(), expected + 3);
        const QStringList kept = QFileInfo(database).dir().entryList({QStringLiteral("vk.db.damaged-*")}, QDir::Files);
        QVERIFY2(kept.size() >= 2, qPrintable(kept.join(' '))); // the main file and its log, never removed
    }
};

QTEST_GUILESS_MAIN(TestServerStartup)
#include "tst_serverstartup.moc"
