// Servers sharing one PostgreSQL database, run as programs against a real PostgreSQL of the test's own.
#include "NotificationTestSupport.h"
#include "PostgresMailClaims.h"
#include "PostgresServer.h"
#include "ProgramRun.h"
#include "RadioPeer.h"
#include "SmtpTestServer.h"
#include "TestPaths.h"
#include "VoltkeepProcess.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <signal.h>

using namespace NVL::Engineering::VK;

namespace {

BatteryRecord battery(quint8 group, quint8 number, quint8 health = 90)
{
    BatteryRecord r;
    r.version = 1;
    r.serial[0] = group;
    r.serial[7] = number;
    r.typeCode = SelfMeasuringTypeA;
    r.healthPercent = health;
    r.fullCapacity = 3000;
    return r;
}

QList<BatteryRecord> batteries(quint8 group, int count)
{
    QList<BatteryRecord> list;
    for (int i = 0; i < count; ++i)
        list.append(battery(group, quint8(i)));
    return list;
}

QByteArray fileHash(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
}

} // namespace

class TestSharedStore : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<PostgresServer> m_pg;
    QTemporaryDir m_folders;

    // A server in a data folder of its own on the database, marked as `site`.
    std::unique_ptr<VoltkeepProcess> server(const QString &site, const QString &database, quint16 httpPort = 0,
                                            const QByteArray &store = QByteArray())
    {
        auto process = std::make_unique<VoltkeepProcess>(m_folders.filePath(site));
        process->setPort(VoltkeepProcess::freePort());
        QFile cfg(process->dataFolder() + QStringLiteral("/vk.cfg"));
        if (!cfg.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return nullptr;
        cfg.write(QStringLiteral("[General]\nport=%1\n[http]\nlisten=%2\n")
                      .arg(process->port())
                      .arg(httpPort ? QStringLiteral("127.0.0.1:%1").arg(httpPort) : QString())
                      .toUtf8());
        cfg.write(store.isNull() ? m_pg->storeSection(database) + "site=" + site.toUtf8()
                                       + "\npollMs=100\nplannerRetrySeconds=1\nleaseSeconds=3\n"
                                 : store);
        return process;
    }

    static bool send(VoltkeepProcess &server, const QList<BatteryRecord> &records)
    {
        RadioPeer peer(QStringLiteral("127.0.0.1"), server.port());
        if (!peer.connectToServer())
            return false;
        for (const BatteryRecord &r : records)
            if (!peer.sendReport(r))
                return false;
        return peer.list().has_value(); // answered once the reports before it are committed
    }

    static QHash<QByteArray, BatteryRecord> listed(VoltkeepProcess &server)
    {
        RadioPeer peer(QStringLiteral("127.0.0.1"), server.port());
        QHash<QByteArray, BatteryRecord> fleet;
        const auto records = peer.connectToServer() ? peer.list() : std::nullopt;
        for (const BatteryRecord &r : records.value_or(QList<BatteryRecord>()))
            fleet.insert(r.serialKey(), r);
        return fleet;
    }

    static QByteArray get(quint16 port, const QString &path)
    {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        if (!socket.waitForConnected(5000))
            return {};
        socket.write("GET " + path.toLatin1() + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        while (socket.waitForReadyRead(5000)) {
        }
        return socket.readAll();
    }

    // The first column of what `sql` gives on a stopped server's outbox.
    static QStringList outbox(const VoltkeepProcess &server, const QString &sql)
    {
        QStringList column;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("outbox"));
            db.setDatabaseName(server.dataFolder() + QStringLiteral("/vk-webhooks.db"));
            QSqlQuery query(db);
            if (db.open() && query.exec(sql))
                while (query.next())
                    column << query.value(0).toString();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("outbox"));
        return column;
    }
    // The events it holds, in the order they were raised.
    static QStringList outboxKinds(const VoltkeepProcess &server)
    {
        return outbox(server, QStringLiteral("SELECT kind FROM outbox ORDER BY row"));
    }

    QVariant value(const QString &database, const QString &sql)
    {
        QSqlQuery query(m_pg->connect(database, QStringLiteral("test-") + database));
        return query.exec(sql) && query.next() ? query.value(0) : QVariant();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_folders.isValid());
        m_pg = std::make_unique<PostgresServer>();
        QVERIFY2(m_pg->problem().isEmpty(), qPrintable(m_pg->problem()));
        QVERIFY(m_pg->start());
    }

    void twoServersShowOneFleetAndTheNewestWins()
    {
        QVERIFY(m_pg->createDatabase(QStringLiteral("fleet")));
        auto north = server(QStringLiteral("north"), QStringLiteral("fleet"));
        const quint16 southHttp = VoltkeepProcess::freePort();
        auto south = server(QStringLiteral("south"), QStringLiteral("fleet"), southHttp);
        QVERIFY(north->start() && south->start());
        QVERIFY(send(*north, batteries(0x10, 20)));
        QVERIFY(send(*south, batteries(0x20, 20)));
        QTRY_COMPARE_WITH_TIMEOUT(listed(*north).size(), 40, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(listed(*south).size(), 40, 10000);
        QCOMPARE(value(QStringLiteral("fleet"), QStringLiteral("SELECT count(*) FROM batteries WHERE site = 'north'")).toInt(), 20);
        QCOMPARE(value(QStringLiteral("fleet"), QStringLiteral("SELECT count(DISTINCT serial) FROM history_points")).toInt(), 40);
        // The planner's holder writes the forecasts it fits, of both sites' batteries.
        QTRY_COMPARE_WITH_TIMEOUT(value(QStringLiteral("fleet"), QStringLiteral("SELECT count(*) FROM forecasts")).toInt(), 40, 10000);
        // The other site's reports come into this server's history as it fetches them.
        const QString northKey = serialKeyText(battery(0x10, 3).serialKey());
        QTRY_VERIFY_WITH_TIMEOUT(get(southHttp, QStringLiteral("/api/v1/batteries/%1/history").arg(northKey)).startsWith("HTTP/1.1 200"),
                                 10000);

        // A report newer than any radio can send now, as if stored by a server whose clock is ahead.
        BatteryRecord ahead = battery(0x10, 0, 55);
        ahead.reportTime = quint32(QDateTime::currentSecsSinceEpoch() + 86400);
        QVERIFY(QSqlQuery(m_pg->connect(QStringLiteral("fleet"), QStringLiteral("test-fleet")))
                    .exec(QStringLiteral("UPDATE batteries SET record = '\\x%1', time = %2, seq = nextval('battery_changes') "
                                         "WHERE serial = '\\x%3'")
                              .arg(QString::fromLatin1(ahead.toBytes().toHex()))
                              .arg(ahead.reportTime)
                              .arg(QString::fromLatin1(ahead.serialKey().toHex()))));
        QVERIFY(send(*south, {battery(0x10, 0, 70), battery(0x20, 0, 40)}));
        // The older report lost wherever it came from; the newer one won over another server's row.
        QTRY_COMPARE_WITH_TIMEOUT(listed(*north).value(ahead.serialKey()).healthPercent, quint8(55), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(listed(*north).value(battery(0x20, 0).serialKey()).healthPercent, quint8(40), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(listed(*south).value(ahead.serialKey()).healthPercent, quint8(55), 10000);
        QCOMPARE(value(QStringLiteral("fleet"), QStringLiteral("SELECT count(*) FROM batteries")).toInt(), 40);

        RadioPeer peer(QStringLiteral("127.0.0.1"), north->port());
        QVERIFY(peer.connectToServer() && peer.deleteSerials({battery(0x20, 1).serialKey()}));
        QTRY_COMPARE_WITH_TIMEOUT(listed(*south).size(), 39, 10000);
        QCOMPARE(value(QStringLiteral("fleet"), QStringLiteral("SELECT count(*) FROM forecasts")).toInt(), 39);

        // A server new to the database starts with the history kept there, older than itself.
        const qint64 day = QDateTime::currentSecsSinceEpoch() / 86400 * 86400;
        for (int back = 1; back <= 3; ++back)
            QVERIFY(QSqlQuery(m_pg->connect(QStringLiteral("fleet"), QStringLiteral("test-fleet")))
                        .exec(QStringLiteral("INSERT INTO history_points SELECT serial, %1, 95, 3, 3000, 1, NULL FROM "
                                             "batteries WHERE serial = '\\x%2'")
                                  .arg(day - back * 86400)
                                  .arg(QString::fromLatin1(battery(0x10, 3).serialKey().toHex()))));
        const quint16 eastHttp = VoltkeepProcess::freePort();
        auto east = server(QStringLiteral("east"), QStringLiteral("fleet"), eastHttp);
        QVERIFY(east->start() && east->waitForLog(QStringLiteral("The history of 39 battery(ies) taken")));
        const QByteArray history = get(eastHttp, QStringLiteral("/api/v1/batteries/%1/history").arg(northKey));
        QCOMPARE(history.count("\"time\""), 4);

        // Alone again after a restart, the holder reads its forecasts from its file and sends none of them
        // again: a forecast marked by hand stays, while one fitted after the restart arrives.
        const auto newest = [this](const BatteryRecord &b) {
            return value(QStringLiteral("fleet"), QStringLiteral("SELECT newest FROM forecasts WHERE serial = '\\x%1'")
                                                      .arg(QString::fromLatin1(b.serialKey().toHex())))
                .toLongLong();
        };
        QVERIFY(QSqlQuery(m_pg->connect(QStringLiteral("fleet"), QStringLiteral("test-fleet")))
                    .exec(QStringLiteral("UPDATE forecasts SET newest = 7 WHERE serial = '\\x%1'")
                              .arg(QString::fromLatin1(battery(0x10, 5).serialKey().toHex()))));
        for (auto *running : {east.get(), south.get(), north.get()})
            running->terminate();
        const qint64 restarted = QDateTime::currentSecsSinceEpoch();
        QVERIFY(north->start() && send(*north, {battery(0x10, 6, 80)}));
        QTRY_VERIFY_WITH_TIMEOUT(newest(battery(0x10, 6)) >= restarted, 15000);
        QCOMPARE(newest(battery(0x10, 5)), qint64(7));

        // A stop while the shared history was being taken in leaves the file marked: the next start takes
        // it in again (unmarked, a file that holds batteries is kept as it is).
        {
            QSqlDatabase file = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("east-history"));
            file.setDatabaseName(east->dataFolder() + QStringLiteral("/vk-history.db"));
            QVERIFY(file.open());
            QVERIFY(QSqlQuery(file).exec(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES ('adopting', 1)")));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("east-history"));
        QVERIFY(east->start() && east->waitForLog(QStringLiteral("The history of 39 battery(ies) taken")));
    }

    void onePlannedMailPerDueTimeAndATakeover()
    {
        QVERIFY(m_pg->createDatabase(QStringLiteral("planner")));
        SmtpTestServer smtp(SmtpTestServer::Options{});
        QVERIFY2(smtp.start(), qPrintable(smtp.errorString()));
        const QString holding = QStringLiteral("This server sends the fleet's planned mail");
        const quint16 firstHttp = VoltkeepProcess::freePort();
        auto first = server(QStringLiteral("first"), QStringLiteral("planner"), firstHttp);
        const quint16 secondHttp = VoltkeepProcess::freePort();
        auto second = server(QStringLiteral("second"), QStringLiteral("planner"), secondHttp);
        // Both tell a receiver nothing listens for: what each told stays in its outbox.
        for (VoltkeepProcess *p : {first.get(), second.get()}) {
            QFile cfg(p->dataFolder() + QStringLiteral("/vk.cfg"));
            QVERIFY(cfg.open(QIODevice::Append));
            cfg.write("\n[webhooks]\na.url=http://127.0.0.1:1/\na.events=battery.class,battery.due,battery.now\na.secret=s\n");
        }
        QVERIFY(first->start());
        QVERIFY(first->waitForLog(holding));
        QVERIFY(second->start());
        // The second server asks at its start and every second after: the lock is taken.
        QVERIFY(second->waitForLog(QStringLiteral("Accepting connections")));
        QCOMPARE(second->countInLog(holding), 0);
        // A battery turns Poor at the second server: it tells the class it stored, the holder the states.
        QVERIFY(send(*second, {battery(5, 1, 95)}));
        QVERIFY(send(*second, {battery(5, 1, 70)}));
        const QByteArray depth = "\nvoltkeep_webhook_outbox_depth ";
        QTRY_VERIFY_WITH_TIMEOUT(get(firstHttp, QStringLiteral("/metrics")).contains(depth + '2'), 15000);
        QVERIFY(get(secondHttp, QStringLiteral("/metrics")).contains(depth + '1'));
        // Points for the next holder's retention pass, as if no pass had thinned the database yet: one of years
        // past the kept ones, two of one old day.
        const QString retained = QStringLiteral("Shared history retention done");
        QVERIFY2(first->waitForLog(retained), qPrintable(first->log()));
        const qint64 noon = QDateTime(QDate::currentDate().addDays(-40), QTime(12, 0)).toSecsSinceEpoch();
        const QString old = QString::fromLatin1(battery(2, 1).serialKey().toHex());
        QVERIFY(QSqlQuery(m_pg->connect(QStringLiteral("planner"), QStringLiteral("test-planner")))
                    .exec(QStringLiteral("DELETE FROM vk_meta; INSERT INTO history_points VALUES ('\\x%1', %2, 90, 3, "
                                         "3000, 1, NULL), ('\\x%1', %3, 90, 3, 3000, 1, NULL), ('\\x%1', %4, 90, 3, "
                                         "3000, 1, NULL)")
                              .arg(old)
                              .arg(noon - 6 * 366 * 86400)
                              .arg(noon)
                              .arg(noon + 3600)));

        // Both servers read one configuration and plan the same two occurrences.
        while (QTime::currentTime() > QTime(23, 59, 30)) // midnight would move them to tomorrow
            QTest::qWait(1000);
        const QDateTime early = QDateTime::currentDateTime().addSecs(5);
        const QDateTime late = early.addSecs(4);
        const auto at = [](const QDateTime &due, const char *alias) {
            NotificationData n = NotificationTest::periodic(
                PeriodicType::Daily, due.toString(QStringLiteral("HH:mm:ss")).toStdString(), ReportKind::FullReport, {"{1}"});
            n.alias = alias;
            return n;
        };
        qputenv("NORVALE_COMMON_APPDATA", m_folders.filePath(QStringLiteral("first")).toUtf8());
        QVERIFY(NotificationTest::writeConfiguration(NotificationTest::plainSmtp(smtp.port(), "", ""),
                                                     {NotificationTest::recipient("{1}", "desk@example.test")},
                                                     {at(early, "early"), at(late, "late")}));
        qunsetenv("NORVALE_COMMON_APPDATA");
        QFile::remove(second->configurationFile()); // the default its start wrote
        QVERIFY(QFile::copy(first->configurationFile(), second->configurationFile()));
        QVERIFY(first->waitForLog(QStringLiteral("Mail sent for \"early\""), 15000));

        // The holder hangs through the late due time, its connection open: its lease ends unrenewed, the
        // other server takes it and sends what fell due meanwhile, and not what the holder had sent; the
        // holder, back, finds the lease taken and sends nothing.
        QVERIFY(::kill(pid_t(first->processId()), SIGSTOP) == 0);
        QVERIFY(second->waitForLog(holding, 15000));
        QVERIFY(second->waitForLog(QStringLiteral("Mail sent for \"late\""), 15000));
        QVERIFY2(QDateTime::currentDateTime() < late.addSecs(60), "sent more than a minute after its due time");
        QVERIFY(::kill(pid_t(first->processId()), SIGCONT) == 0);
        QVERIFY(first->waitForLog(QStringLiteral("This server no longer sends the fleet's planned mail"), 15000));
        QCOMPARE(second->countInLog(QStringLiteral("Mail sent for")), 1);
        QCOMPARE(first->countInLog(QStringLiteral("Mail sent for \"late\"")), 0);
        QCOMPARE(smtp.messages().size(), 2);
        QVERIFY(second->waitForLog(retained));
        QCOMPARE(value(QStringLiteral("planner"),
                       QStringLiteral("SELECT string_agg(time::text, ',') FROM history_points WHERE serial = '\\x%1'").arg(old))
                     .toLongLong(),
                 noon + 3600);

        // Silences are told once for the fleet too: a battery's second silence is new, its first is not.
        const QSqlDatabase db = m_pg->connect(QStringLiteral("planner"), QStringLiteral("test-planner"));
        const QByteArray a = battery(1, 1).serialKey(), b = battery(1, 2).serialKey();
        QCOMPARE(PostgresMailClaims::claimSilences(db, {{a, 100}, {b, 100}}).value_or(QSet<QByteArray>()).size(), 2);
        QCOMPARE(PostgresMailClaims::claimSilences(db, {{a, 100}, {b, 200}}), std::optional(QSet<QByteArray>{b}));
        // The new holder told the states as it found them; the class came once, from where it was reported.
        first->kill();
        second->kill();
        QCOMPARE(outboxKinds(*first), QStringList({"battery.due", "battery.now"}));
        QCOMPARE(outboxKinds(*second), QStringList({"battery.class", "battery.due", "battery.now"}));

        // As if each had ended between the store's commit of a report and the outbox's: both outboxes last
        // told Good. Started again, the server that stored the report tells the change, the other leaves it.
        const QStringList key = outbox(*second, QStringLiteral("SELECT battery FROM classes"));
        QCOMPARE(key.size(), 1);
        outbox(*second, QStringLiteral("UPDATE classes SET class = %1").arg(Good));
        outbox(*first, QStringLiteral("INSERT OR REPLACE INTO classes VALUES (%1, %2)").arg(key[0]).arg(Good));
        const QString looked = QStringLiteral("the classes of 1 batteries compared with the webhook outbox");
        QVERIFY(first->start());
        QVERIFY(second->start());
        QVERIFY2(second->waitForLog(looked, 15000), qPrintable(second->log()));
        QVERIFY(first->waitForLog(QStringLiteral("the classes of 0 batteries compared"), 15000));
        QCOMPARE(second->countInLog(QStringLiteral("1 battery.class event(s) the webhook outbox had missed")), 1);
        QCOMPARE(first->countInLog(QStringLiteral("the webhook outbox had missed")), 0);
    }

    void anOutageLosesNothingAndDuplicatesNothing()
    {
        QVERIFY(m_pg->createDatabase(QStringLiteral("outage")));
        const quint16 http = VoltkeepProcess::freePort();
        auto site = server(QStringLiteral("outage"), QStringLiteral("outage"), http);
        auto other = server(QStringLiteral("outage-other"), QStringLiteral("outage"));
        QVERIFY(site->start() && other->start());
        QVERIFY(send(*site, batteries(0x30, 10)));
        QVERIFY(m_pg->stop());
        QVERIFY(send(*site, batteries(0x31, 30)));
        QVERIFY(send(*other, batteries(0x33, 7)));
        QVERIFY(site->waitForLog(QStringLiteral("cannot be reached")));
        QVERIFY(get(http, QStringLiteral("/healthz")).contains("30 report(s) wait in the local spool"));
        QCOMPARE(listed(*site).size(), 10); // what it holds, nothing it did not store
        RadioPeer peer(QStringLiteral("127.0.0.1"), site->port());
        QVERIFY(peer.connectToServer() && peer.deleteSerials({battery(0x30, 1).serialKey()}));
        QTRY_VERIFY(get(http, QStringLiteral("/metrics")).contains("voltkeep_outage_spool_entries 31"));

        // Killed with its spool full: nothing confirmed is lost, and a start without the database works. A
        // server new to the fleet, started meanwhile, takes in the fleet's history once the database is back.
        site->kill();
        QVERIFY(site->start());
        QVERIFY(site->log().contains(QLatin1String("Accepting connections")));
        auto newcomer = server(QStringLiteral("outage-newcomer"), QStringLiteral("outage"));
        QVERIFY(newcomer->start());
        QVERIFY(send(*site, batteries(0x32, 5) + QList<BatteryRecord>{battery(0x31, 0, 33)}));
        QVERIFY(m_pg->start());
        QVERIFY(site->waitForLog(QStringLiteral("is reached again"), 10000));
        QVERIFY2(site->log().contains(QLatin1String("36 report(s) and 1 delete request(s) waiting in the local spool")),
                 qPrintable(site->log()));
        QVERIFY(newcomer->waitForLog(QStringLiteral("taken from the shared database"), 30000));
        QCOMPARE(newcomer->countInLog(QStringLiteral("The history of the shared database cannot be read")), 1);
        // The database's and its driver's own lines stay out of the log, and every entry is one line.
        for (VoltkeepProcess *process : {site.get(), other.get(), newcomer.get()}) {
            for (const QString &line : process->log().split(QLatin1Char('\n'))) {
                QVERIFY2(!line.contains(QLatin1String("NOTICE")) && !line.startsWith(QLatin1String("QPSQL"))
                             && !line.startsWith(QLatin1Char('\t')) && !line.startsWith(QLatin1Char(' ')),
                         qPrintable(line));
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(listed(*site).size(), 51, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(listed(*other).size(), 51, 10000);
        QCOMPARE(value(QStringLiteral("outage"), QStringLiteral("SELECT count(*) FROM batteries WHERE NOT deleted")).toInt(), 51);
        QVERIFY(!listed(*site).contains(battery(0x30, 1).serialKey()));
        QCOMPARE(listed(*site).value(battery(0x31, 0).serialKey()).healthPercent, quint8(33));
        QCOMPARE(site->countInLog(QStringLiteral("cannot be reached")), 1);
        QTRY_VERIFY_WITH_TIMEOUT(get(http, QStringLiteral("/healthz")).trimmed().endsWith("ok"), 10000);
    }

    void aMoveFromSqliteCopiesEveryRowAndLeavesTheFiles()
    {
        QVERIFY(m_pg->createDatabase(QStringLiteral("moved")));
        auto local = server(QStringLiteral("local"), QString(), 0, QByteArray(""));
        QVERIFY(local->start());
        QVERIFY(send(*local, batteries(0x40, 12)));
        local->terminate();
        QCOMPARE(local->waitForExit(), 0);
        const QString file = local->dataFolder() + QStringLiteral("/vk.db");
        const QByteArray before = fileHash(file);
        QFile cfg(local->dataFolder() + QStringLiteral("/vk.cfg"));
        QVERIFY(cfg.open(QIODevice::Append));
        cfg.write(m_pg->storeSection(QStringLiteral("moved")));
        cfg.close();

        qputenv("NORVALE_COMMON_APPDATA", m_folders.filePath(QStringLiteral("local")).toUtf8());
        const ProgramRun moved = ProgramRun::of(TestPaths::voltkeepBinary(), {QStringLiteral("--migrate-to-postgresql")});
        QCOMPARE(moved.exitCode, 0);
        QVERIFY2(moved.out.contains(QLatin1String("batteries: 12 in SQLite, 12 in PostgreSQL")), qPrintable(moved.out));
        const QRegularExpressionMatch points =
            QRegularExpression(QStringLiteral("history_points: (\\d+) in SQLite, (\\d+) in PostgreSQL")).match(moved.out);
        QVERIFY(points.hasMatch() && points.captured(1).toInt() >= 12 && points.captured(1) == points.captured(2));
        QCOMPARE(fileHash(file), before);

        const ProgramRun again = ProgramRun::of(TestPaths::voltkeepBinary(), {QStringLiteral("--migrate-to-postgresql")});
        qunsetenv("NORVALE_COMMON_APPDATA");
        QVERIFY(again.exitCode != 0);
        QVERIFY2(again.err.contains(QLatin1String("already holds 12 row(s) in batteries")), qPrintable(again.err));
        QCOMPARE(value(QStringLiteral("moved"), QStringLiteral("SELECT count(*) FROM batteries")).toInt(), 12);
    }

    void aStoreThatCannotBeUsedStopsTheStart_data()
    {
        QTest::addColumn<QByteArray>("store");
        QTest::addColumn<int>("passwordMode");
        QTest::addColumn<QString>("reason");
        QTest::newRow("driver") << QByteArray("[store]\ndriver=oracle\n") << 0 << "neither sqlite nor postgresql";
        QTest::newRow("password open to others") << QByteArray("passwordFile=pw\n") << 0644 << "open to group or others";
        QTest::newRow("password missing") << QByteArray("passwordFile=pw\n") << -1 << "pw does not exist";
        QTest::newRow("sslmode") << QByteArray("sslmode=sometimes\n") << 0 << "sslmode=sometimes is not one of";
        QTest::newRow("no such database") << QByteArray("database=absent\n") << 0 << "\"absent\" does not exist";
    }

    void aStoreThatCannotBeUsedStopsTheStart()
    {
        QFETCH(QByteArray, store);
        QFETCH(int, passwordMode);
        QFETCH(QString, reason);
        const QString name = QStringLiteral("refused-") + QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
        const QByteArray section = store.startsWith("[store]")
            ? store
            : m_pg->storeSection(QStringLiteral("fleet")) + store; // a later key wins
        auto refused = server(name, QString(), 0, section);
        if (passwordMode > 0) {
            QFile pw(refused->dataFolder() + QStringLiteral("/pw"));
            QVERIFY(pw.open(QIODevice::WriteOnly));
            pw.write("secret\n");
            pw.close();
            QVERIFY(QFile::setPermissions(pw.fileName(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                              | QFileDevice::ReadGroup | QFileDevice::ReadOther));
        }
        QVERIFY(refused->start());
        QVERIFY(refused->waitForExit() > 0);
        QVERIFY2(refused->log().contains(reason), qPrintable(refused->log()));
    }
};

QTEST_GUILESS_MAIN(TestSharedStore)
#include "tst_sharedstore.moc"
