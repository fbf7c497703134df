// vkpeer, the administrators' command-line peer, against the running server.
#include "FleetTable.h"
#include "ProgramRun.h"
#include "VoltkeepProcess.h"

#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using namespace NVL::Engineering::VK;

namespace {

using Run = ProgramRun;

Run vkpeer(const QStringList &arguments)
{
    return ProgramRun::of(QStringLiteral(VK_VKPEER_BIN), arguments, QByteArray(), 30000);
}

} // namespace

class TestVkPeer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void againstTheRunningServer()
    {
        QTemporaryDir dir;
        VoltkeepProcess server(dir.path());
        server.setPort(VoltkeepProcess::freePort());
        QVERIFY(server.start());
        const QStringList where{QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                QString::number(server.port())};

        Run run = vkpeer(where + QStringList{QStringLiteral("report"), QStringLiteral("--type"), QStringLiteral("0x01000016"),
                                             QStringLiteral("--health"), QStringLiteral("90"), QStringLiteral("--serial"),
                                             QStringLiteral("0000420123456789"), QStringLiteral("--esn"),
                                             QStringLiteral("00112233445566AA"), QStringLiteral("--alias"),
                                             QStringLiteral("Truck 7")});
        QCOMPARE(run.exitCode, 0);
        run = vkpeer(where + QStringList{QStringLiteral("report"), QStringLiteral("--udp"), QStringLiteral("--cycles"),
                                         QStringLiteral("250"), QStringLiteral("--capacity"), QStringLiteral("3000"),
                                         QStringLiteral("--serial"), QStringLiteral("0100000000000001"),
                                         QStringLiteral("--alias"), QStringLiteral("=Van, \"2\"")});
        QCOMPARE(run.exitCode, 0);

        QTRY_VERIFY_WITH_TIMEOUT((run = vkpeer(where + QStringList{QStringLiteral("list"), QStringLiteral("--csv")})).out.count(QLatin1Char('\n')) == 3, 10000);
        const QString today = QDate::currentDate().toString(Qt::ISODate);
        QCOMPARE(run.out, QStringLiteral("Serial#,Health,Full Capacity,Cycle Count,Radio ESN,Radio Alias,Report Date,Report IP\r\n"
                                         "0123456789,Good,3780 mAh,0,00112233445566AA,Truck 7,%1,127.0.0.1\r\n"
                                         ",Poor,3000 mAh,250,0000000000000000,\"'=Van, \"\"2\"\"\",%1,127.0.0.1\r\n")
                              .arg(today));

        run = vkpeer(where + QStringList{QStringLiteral("list"), QStringLiteral("--keys")});
        QCOMPARE(run.exitCode, 0);
        const QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[0].startsWith(QLatin1String("Key               Serial#     Health  Full Capacity")));
        QVERIFY(lines[1].startsWith(QLatin1String("0000420123456789  0123456789  Good    3780 mAh")));

        run = vkpeer(where + QStringList{QStringLiteral("version")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, QStringLiteral("Protocol version 1\n"));

        run = vkpeer(where + QStringList{QStringLiteral("delete"), QStringLiteral("0100000000000001")});
        QCOMPARE(run.exitCode, 0);
        run = vkpeer(where + QStringList{QStringLiteral("list"), QStringLiteral("--csv")});
        QCOMPARE(run.out.count(QLatin1Char('\n')), 2);
        QVERIFY(!run.out.contains(QLatin1String("Van")));

        run = vkpeer(where + QStringList{QStringLiteral("delete"), QStringLiteral("12345")});
        QCOMPARE(run.exitCode, 1);
        QVERIFY(run.err.contains(QLatin1String("not a 16-digit hex serial key")));
    }

    void unreachedServerExitsWithTwo_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QString>("said");
        const QStringList report{QStringLiteral("report"), QStringLiteral("--serial"), QStringLiteral("0000420123456789")};
        // A name with a space is no host name: refused before any name server is asked.
        const QString noHost = QStringLiteral("radio server.invalid");
        QTest::newRow("refused") << QStringLiteral("127.0.0.1") << QStringList{QStringLiteral("list")}
                                 << QStringLiteral("vkpeer: cannot connect to 127.0.0.1:<port>: ");
        QTest::newRow("unresolved, TCP") << noHost << report << QStringLiteral("vkpeer: cannot connect to <host>:<port>: ");
        QTest::newRow("unresolved, UDP") << noHost << report + QStringList{QStringLiteral("--udp")}
                                         << QStringLiteral("vkpeer: cannot resolve <host>: ");
    }

    void unreachedServerExitsWithTwo()
    {
        QFETCH(QString, host);
        QFETCH(QStringList, command);
        QFETCH(QString, said);
        const quint16 port = VoltkeepProcess::freePort(); // nobody listens there
        const Run run = vkpeer(QStringList{QStringLiteral("--host"), host, QStringLiteral("--port"), QString::number(port)}
                               + command);
        QCOMPARE(run.exitCode, 2);
        said.replace(QLatin1String("<host>"), host).replace(QLatin1String("<port>"), QString::number(port));
        QVERIFY2(run.err.startsWith(said), qPrintable(run.err));
        QVERIFY(run.out.isEmpty());
    }

    void serverThatNeverAnswers()
    {
        QTcpServer silent; // the kernel completes the handshake; nobody ever answers
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        const Run run = vkpeer({QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                QString::number(silent.serverPort()), QStringLiteral("--timeout"), QStringLiteral("300"),
                                QStringLiteral("version")});
        QCOMPARE(run.exitCode, 3);
        QCOMPARE(run.err, QStringLiteral("vkpeer: no reply from 127.0.0.1:%1 within 300 ms\n").arg(silent.serverPort()));
    }

    void textTableAlignsColumns()
    {
        BatteryRecord r;
        r.version = 1;
        r.typeCode = SelfMeasuringTypeB; // every cell has text
        r.healthPercent = 99;
        r.fullCapacity = 3780;
        std::memcpy(r.alias, "A", 1);
        const FleetTable table({r});
        const QStringList lines = table.toText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        // Every cell starts in the column of its header.
        for (const QString &header : table.headers())
            QCOMPARE(lines[1].at(lines[0].indexOf(header)).isSpace(), false);
    }
};

QTEST_GUILESS_MAIN(TestVkPeer)
#include "tst_vkpeer.moc"
