// Notifications of the real server program: a due daily report and health alerts reach the test SMTP
// server; a broken configuration file does not stop the server from serving radios.
#include "MessageHeader.h"
#include "ReportComposer.h"
#include "NotificationTestSupport.h"
#include "SmtpTestServer.h"
#include "VoltkeepProcess.h"

#include <ConfigurationFile.h>

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QUdpSocket>
#include <QtEndian>
#include <QtTest>

#include <limits>
#include <memory>

using namespace NVL::Engineering::VK;
using namespace NotificationTest;

namespace {

const std::string opsUuid = "{11111111-1111-1111-1111-111111111111}";
const std::string smsUuid = "{22222222-2222-2222-2222-222222222222}";
const std::string goodUuid = "{33333333-3333-3333-3333-333333333333}";

RecipientList recipients()
{
    return {recipient(opsUuid, "ops@example.test"), recipient(smsUuid, "sms@example.test", true),
            recipient(goodUuid, "good@example.test")};
}

QByteArray reportMessage(const BatteryRecord &record)
{
    return makeHeader(MessageType::BatteryReport).toBytes() + record.toBytes();
}

bool readExactly(QTcpSocket &socket, qint64 count, QByteArray *out)
{
    const QDeadlineTimer deadline(10000);
    while (socket.bytesAvailable() < count) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime())))
            return false;
    }
    *out = socket.read(count);
    return true;
}

// Sends the messages over one TCP connection, then a list request; the list reply comes after the
// server has stored everything before it. Returns the stored records.
bool sendAndList(quint16 port, const QByteArray &messages, QList<BatteryRecord> *stored)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return false;
    socket.write(messages + makeHeader(MessageType::ListRequest).toBytes());
    QByteArray head;
    if (!readExactly(socket, 16, &head) || MessageHeader::fromBytes(head.constData()).type != 5)
        return false;
    const quint32 count = qFromLittleEndian<quint32>(head.constData() + 12);
    stored->clear();
    for (quint32 i = 0; i < count; ++i) {
        QByteArray bytes;
        if (!readExactly(socket, 64, &bytes))
            return false;
        stored->append(BatteryRecord::fromBytes(bytes));
    }
    return true;
}

} // namespace

class TestNotificationsEnd2End : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        // The test writes the configuration file where the server will look for it.
        qputenv("NORVALE_COMMON_APPDATA", m_dir->path().toUtf8());
        SmtpTestServer::Options options;
        options.authUser = QStringLiteral("vk");
        options.authPassword = QStringLiteral("pw");
        m_smtp = std::make_unique<SmtpTestServer>(options);
        QVERIFY2(m_smtp->start(), qPrintable(m_smtp->errorString()));
        m_server = std::make_unique<VoltkeepProcess>(m_dir->path());
        m_server->setPort(VoltkeepProcess::freePort());
        QCOMPARE(m_server->configurationFile(), ConfigurationFile::filePath());
    }

    void cleanup()
    {
        m_server.reset();
        m_smtp.reset();
        m_dir.reset();
    }

    void dueDailyReportIsMailed()
    {
        // Midnight between planning and due time would move the occurrence to tomorrow.
        while (QTime::currentTime() > QTime(23, 59, 30))
            QTest::qWait(1000);
        const QDateTime due = QDateTime::currentDateTime().addSecs(8);
        const std::string time = due.toString(QStringLiteral("HH:mm:ss")).toStdString();
        QVERIFY(writeConfiguration(plainSmtp(m_smtp->port()), recipients(),
                                   {periodic(PeriodicType::Daily, time, ReportKind::FullReport, {opsUuid, smsUuid})}));
        QVERIFY(m_server->start());

        // One battery by UDP, one by TCP; the list shows when both are stored.
        QUdpSocket udp;
        const QByteArray datagram = reportMessage(battery('B', 1, 95, "Truck 1"));
        QCOMPARE(udp.writeDatagram(datagram, QHostAddress::LocalHost, m_server->port()), qint64(datagram.size()));
        QList<BatteryRecord> stored;
        QTRY_VERIFY(sendAndList(m_server->port(), reportMessage(battery('C', 2, 84, "Truck 2")), &stored)
                    && stored.size() == 2);
        QVERIFY2(QDateTime::currentDateTime() < due, "the reports came in after the report was due");
        QVERIFY(m_smtp->messages().isEmpty());

        QVERIFY(m_smtp->waitForMessages(2, 20000));
        const QList<SmtpTestServer::Message> messages = m_smtp->messages();
        QCOMPARE(messages.at(0).rcptTos, QStringList{QStringLiteral("ops@example.test")});
        QCOMPARE(messages.at(1).rcptTos, QStringList{QStringLiteral("sms@example.test")});
        QCOMPARE(messages.at(0).session, messages.at(1).session);

        const ReportTexts expected = ReportComposer::composeReport(stored);
        const QByteArray html = parseMail(messages.at(0).data).parts.value(1).body;
        QVERIFY(html.startsWith("<img src='cid:tamsel' /><h1>Voltkeep Report: "));
        QVERIFY(html.endsWith(("</h1><hr>" + expected.summaryHtml + expected.leadHtml + "<hr>" + expected.tableHtml).toUtf8()));
        QVERIFY(html.contains("<td>B0123456789</td><td>Excellent</td>"));
        QVERIFY(html.contains("<td>127.0.0.1</td>"));
        QVERIFY(parseMail(messages.at(0).data).parts.value(2).body.startsWith("\x89PNG")); // the logo is compiled in
        QCOMPARE(parseMail(messages.at(1).data).parts.value(0).body,
                 QByteArray("Battery Report\r\nCount: 2\r\nExcellent: 1\r\nGood: 0\r\nFair: 1\r\nPoor: 0\r\nDue within 30 days: 0"));

        // Once per day: no second mail for the same occurrence.
        QTest::qWait(2000);
        QCOMPARE(m_smtp->messages().size(), 2);
        QVERIFY(m_server->isRunning());
    }

    // The server reads a changed file on its own: a new time is mailed without a restart, and a
    // broken file in between keeps the plan with one Warning.
    void changedScheduleIsMailedWithoutRestart()
    {
        // Local time is what the file means and what the log shows, with its offset.
        const QTimeZone zone("Asia/Kolkata");
        m_server->setEnvironment(QStringLiteral("TZ"), QStringLiteral("Asia/Kolkata"));
        while (QDateTime::currentDateTime().toTimeZone(zone).time() > QTime(23, 59, 0))
            QTest::qWait(1000);
        const auto dueText = [](const QDateTime &due) { return due.toString(u"yyyy-MM-dd HH:mm:ss") + " +05:30"; };
        const auto daily = [](const QDateTime &due) {
            NotificationData n = periodic(PeriodicType::Daily, due.toString(QStringLiteral("HH:mm:ss")).toStdString(),
                                          ReportKind::SummaryReport, {opsUuid, smsUuid});
            n.alias = "Daily report of the northern depot";
            return n;
        };
        const QDateTime now = QDateTime::currentDateTime().toTimeZone(zone);
        const QDateTime later = now.addSecs(40 * 60);
        QVERIFY(writeConfiguration(plainSmtp(m_smtp->port()), recipients(), {daily(later)}));
        QVERIFY(m_server->start());
        const QString planned = QStringLiteral("Notification \"Daily report of the northern depot\" is next due %1");
        QVERIFY2(m_server->log().contains(planned.arg(dueText(later))),
                 qPrintable(m_server->log()));

        const QDateTime due = QDateTime::currentDateTime().toTimeZone(zone).addSecs(12);
        QVERIFY(writeConfiguration(plainSmtp(m_smtp->port()), recipients(), {daily(due)}));
        QVERIFY(m_server->waitForLog(planned.arg(dueText(due))));

        QFile file(ConfigurationFile::filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray good = file.readAll();
        QVERIFY(writeRawConfiguration("{ \"notifications\": [ broken"));
        QVERIFY(m_server->waitForLog(QStringLiteral("cannot be read, the notifications stay as planned: "
                                                    "[json.exception.parse_error")));
        QVERIFY(writeRawConfiguration(good));
        QVERIFY(m_server->waitForLog(QStringLiteral("changed; the notifications are as planned")));
        QVERIFY2(QDateTime::currentDateTime() < due, "the changes took longer than the test allows");

        QVERIFY(m_smtp->waitForMessages(2, 20000));
        QVERIFY(QDateTime::currentDateTime() >= due.addSecs(-1));
        QVERIFY(m_server->waitForLog(
            QStringLiteral("Information: Mail sent for \"Daily report of the northern depot\": report to 2 recipients\n")));
        // The text message's subject goes into the message: it is cut short.
        QCOMPARE(parseMail(m_smtp->messages().at(0).data).headers.value("subject"),
                 QByteArray("Battery report: Daily report of the northern depot"));
        QCOMPARE(parseMail(m_smtp->messages().at(1).data).headers.value("subject"),
                 QByteArray("Battery report: Daily report of the..."));
        QCOMPARE(m_server->countInLog(QStringLiteral("Warning:")), 1);
        QCOMPARE(m_server->countInLog(QStringLiteral("is next due")), 2); // at start and after the change
    }

    void healthAlertsFollowFallsIntoTheConfiguredClass()
    {
        QVERIFY(writeConfiguration(plainSmtp(m_smtp->port()), recipients(),
                                   {triggered(1, {opsUuid}, "to Fair"), triggered(2, {goodUuid}, "to Good")}));
        QVERIFY(m_server->start());
        QList<BatteryRecord> stored;

        // A battery's first report never alerts, however poor.
        QVERIFY(sendAndList(m_server->port(), reportMessage(battery('B', 1, 95)) + reportMessage(battery('D', 4, 84)),
                            &stored));
        QCOMPARE(stored.size(), 2);
        QCOMPARE(m_smtp->messages().size(), 0);

        // Excellent to Fair: the Fair notification, not the Good one. Mails go out in the order of the
        // reports, so the first mail to arrive shows that the reports before sent none.
        QVERIFY(sendAndList(m_server->port(), reportMessage(battery('B', 1, 84, "Fell")), &stored));
        QVERIFY(m_smtp->waitForMessages(1, 20000));
        QList<SmtpTestServer::Message> messages = m_smtp->messages();
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages.at(0).rcptTos, QStringList{QStringLiteral("ops@example.test")});
        const QByteArray html = parseMail(messages.at(0).data).parts.value(1).body;
        QVERIFY(html.contains("<td>B0123456789</td><td>Fair</td>"));
        QVERIFY(html.contains("<td>Fell</td>"));
        QCOMPARE(parseMail(messages.at(0).data).headers.value("subject"), QByteArray("Battery alert: Fell is Fair"));
        QVERIFY(m_server->waitForLog(QStringLiteral("Information: Mail sent for \"to Fair\": alert, radio \"Fell\" "
                                                    "(B0123456789) fell to Fair, to 1 recipient\n")));

        // Staying Fair, and falling to Poor (nobody is set to it), send nothing.
        QVERIFY(sendAndList(m_server->port(), reportMessage(battery('B', 1, 83)) + reportMessage(battery('B', 1, 40)),
                            &stored));

        // A rise and a new fall, this time to Good: the second mail, so the two above sent none.
        QVERIFY(sendAndList(m_server->port(), reportMessage(battery('B', 1, 99)) + reportMessage(battery('B', 1, 90)),
                            &stored));
        QVERIFY(m_smtp->waitForMessages(2, 20000));
        messages = m_smtp->messages();
        QCOMPARE(messages.size(), 2);
        QCOMPARE(messages.at(1).rcptTos, QStringList{QStringLiteral("good@example.test")});
        QVERIFY(m_server->isRunning());
    }

    void malformedConfigurationLeavesTheServerServing_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("logged");
        QTest::newRow("not JSON") << QByteArray("{ \"notifications\": [ this is not JSON")
                                  << QStringLiteral("Error: Cannot read the notification configuration, keeping the "
                                                    "previous notifications: [json.exception.parse_error");
        nlohmann::json tooMany = ConfigurationFile::defaultConfiguration();
        tooMany["notifications"] = NotificationList(1001, triggered(1, {opsUuid}));
        QTest::newRow("1,001 notifications") << QByteArray::fromStdString(tooMany.dump())
                                             << QStringLiteral("previous notifications: the file lists 1001 "
                                                               "notifications, more than the 1000 the server plans");
        nlohmann::json crowd = ConfigurationFile::defaultConfiguration();
        crowd["recipients"] = RecipientList(10001, recipient(opsUuid, "ops@example.test"));
        QTest::newRow("10,001 recipients") << QByteArray::fromStdString(crowd.dump())
                                           << QStringLiteral("are refused: the file lists 10001 recipients, more than "
                                                             "the 10000 the server takes");
    }

    void malformedConfigurationLeavesTheServerServing()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, logged);
        QVERIFY(writeRawConfiguration(file));
        QVERIFY(m_server->start());
        QVERIFY2(m_server->waitForLog(logged), qPrintable(m_server->log()));
        QVERIFY(m_server->log().contains(QStringLiteral("Accepting connections on port")));

        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_server->port());
        QVERIFY(socket.waitForConnected(5000));
        socket.write(makeHeader(MessageType::VersionRequest).toBytes() + QByteArray(1, '\1'));
        QByteArray reply;
        QVERIFY(readExactly(socket, 13, &reply));
        QCOMPARE(reply.toHex(), QByteArray("42415453010200000100000001"));

        QList<BatteryRecord> stored;
        QVERIFY(sendAndList(m_server->port(), reportMessage(battery('B', 1, 95)) + reportMessage(battery('B', 1, 50)),
                            &stored));
        QCOMPARE(stored.size(), 1);
        QCOMPARE(stored.at(0).healthPercent, quint8(50));
        QVERIFY(m_server->isRunning());
        QVERIFY(m_smtp->messages().isEmpty());
    }

    // Zones whose days can begin at 01:00, and notifications whose fields make no sense: the server
    // still finishes its start, serves, and names each notification it leaves out once.
    void startsWithMidnightChangesAndNonsense_data()
    {
        QTest::addColumn<QString>("zone");
        for (const char *zone : {"Africa/Cairo", "America/Santiago", "America/Havana", "Asia/Beirut", "America/Asuncion"})
            QTest::newRow(zone) << QString::fromLatin1(zone);
    }

    void startsWithMidnightChangesAndNonsense()
    {
        QFETCH(QString, zone);
        NotificationList notifications;
        const auto add = [&](PeriodicType period, int dayOfWeek, int day, int month, const char *alias) {
            NotificationData n = periodic(period, "", ReportKind::SummaryReport, {opsUuid});
            n.dayOfWeek = dayOfWeek;
            n.day = day;
            n.month = month;
            n.alias = alias;
            notifications.push_back(n);
        };
        add(PeriodicType::Daily, 1, 1, 1, "midnight");
        add(PeriodicType::Weekly, 7, 1, 1, "sunday midnight");
        add(PeriodicType::Weekly, -8, 1, 1, "minus eight");
        add(PeriodicType::Weekly, std::numeric_limits<int>::min(), 1, 1, "weekday min");
        add(PeriodicType::Monthly, 1, std::numeric_limits<int>::max(), 1, "day max");
        add(PeriodicType::Annually, 1, 1, 13, "month 13");
        QVERIFY(writeConfiguration(plainSmtp(m_smtp->port()), recipients(), notifications));
        m_server->setEnvironment(QStringLiteral("TZ"), zone);
        QVERIFY(m_server->start());
        QVERIFY2(m_server->log().contains(QStringLiteral("Accepting connections on port")), qPrintable(m_server->log()));

        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_server->port());
        QVERIFY(socket.waitForConnected(5000));
        socket.write(makeHeader(MessageType::VersionRequest).toBytes() + QByteArray(1, '\1'));
        QByteArray reply;
        QVERIFY(readExactly(socket, 13, &reply));
        QCOMPARE(reply.toHex(), QByteArray("42415453010200000100000001"));

        for (const char *alias : {"minus eight", "weekday min", "day max", "month 13"})
            QCOMPARE(m_server->countInLog(QStringLiteral("Warning: Notification \"%1\" is left out of this planning pass: "
                                                       "its day of the week, day or month is out of range.")
                                            .arg(QLatin1String(alias))),
                     1);
        QCOMPARE(m_server->countInLog(QStringLiteral("Warning:")), 4);
        QVERIFY(m_server->isRunning());
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SmtpTestServer> m_smtp;
    std::unique_ptr<VoltkeepProcess> m_server;
};

QTEST_GUILESS_MAIN(TestNotificationsEnd2End)
#include "tst_notificationsend2end.moc"
