#include "FreePort.h"
#include "MailLedger.h"
#include "NotificationDelivery.h"
#include "NotificationPlanner.h"
#include "ReportComposer.h"
#include "NotificationTestSupport.h"
#include "RecordingEventSink.h"

#include <ConfigurationFile.h>

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include "ScriptedTcpServer.h"
#include "SmtpTestServer.h"

using namespace NVL::Engineering::VK;
using namespace NotificationTest;

namespace {

const std::string opsUuid = "{11111111-1111-1111-1111-111111111111}";
const std::string smsUuid = "{22222222-2222-2222-2222-222222222222}";
const std::string otherUuid = "{33333333-3333-3333-3333-333333333333}";
const std::string unknownUuid = "{99999999-9999-9999-9999-999999999999}";

RecipientList standardRecipients()
{
    return {recipient(opsUuid, "ops@example.test"), recipient(smsUuid, "sms@example.test", true),
            recipient(otherUuid, "other@example.test")};
}

// The HTML as delivered at some second between the two moments (the heading shows the send time).
bool isHtmlSentBetween(const QByteArray &html, const NotificationData &n, const ReportTexts &texts,
                       const QDateTime &before, const QDateTime &after)
{
    for (QDateTime t = before.addMSecs(-before.time().msec()); t <= after; t = t.addSecs(1)) {
        if (html == ReportComposer::mailHtml(n, texts, t).toUtf8())
            return true;
    }
    return false;
}

QStringList capturedDebug;
QtMessageHandler previousHandler = nullptr;

void captureDebug(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg)
        capturedDebug.append(message);
    previousHandler(type, context, message);
}

QStringList deliveryFailures()
{
    QStringList result;
    for (const QString &line : std::as_const(capturedDebug))
        if (line.startsWith(QStringLiteral("Failed to")))
            result.append(line);
    return result;
}

// Prepares and sends at once, reading the configuration where the tests write it.
void deliver(const NotificationData &notification, const ReportTexts &texts, MailLedger *ledger = nullptr)
{
    NotificationDelivery(ConfigurationFile::filePath(), nullptr, ledger).deliver(notification, texts);
}

const QString password = QStringLiteral("Qw8-not-so-secret");

// A mail server that needs a login and records what the client says. It answers `reply` to the
// command that starts with `verb` ("greeting" before any, "." for the end of the data); a refused
// login echoes the password as sent and leaves the client unable to send.
ScriptedTcpServer::Script refusingAt(const QByteArray &verb = {}, const QByteArray &reply = {})
{
    return [verb, reply](ScriptedTcpServer::Connection &c) {
        QByteArray line;
        c.send(verb == "greeting" ? reply + "\r\n" : QByteArray("220 scripted ESMTP\r\n"));
        while (verb != "greeting" && c.readLine(&line)) {
            const bool refuse = !verb.isEmpty() && line.toUpper().startsWith(verb);
            if (line.startsWith("EHLO")) {
                c.send("250-scripted\r\n250-STARTTLS\r\n250 AUTH PLAIN LOGIN\r\n");
            } else if (line == "AUTH LOGIN") {
                c.send("334 VXNlcm5hbWU6\r\n");
                c.readLine(&line);
                c.send("334 UGFzc3dvcmQ6\r\n");
                c.readLine(&line);
                c.send(refuse ? reply + ' ' + line + "\r\n" : QByteArray("235 accepted\r\n"));
            } else if (refuse || (verb == "AUTH" && line.startsWith("MAIL"))) {
                c.send(refuse ? reply + "\r\n" : QByteArray("530 5.7.0 Authentication required\r\n"));
            } else if (line == "DATA") {
                c.send("354 go on\r\n");
                while (c.readLine(&line) && line != ".") {
                }
                c.send(verb == "." ? reply + "\r\n" : QByteArray("250 queued\r\n"));
            } else if (line == "QUIT") {
                c.send("221 bye\r\n");
                break;
            } else {
                c.send("250 ok\r\n");
            }
        }
        c.close();
    };
}

} // namespace

class TestNotificationDelivery : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dataFolder.isValid());
        qputenv("NORVALE_COMMON_APPDATA", m_dataFolder.path().toUtf8());
        SmtpTestServer::Options options;
        options.authUser = QStringLiteral("vk");
        options.authPassword = QStringLiteral("pw");
        m_smtp = std::make_unique<SmtpTestServer>(options);
        QVERIFY2(m_smtp->start(), qPrintable(m_smtp->errorString()));
        previousHandler = qInstallMessageHandler(captureDebug);
    }

    void cleanupTestCase()
    {
        qInstallMessageHandler(previousHandler);
        m_smtp.reset();
    }

    void init()
    {
        QFile::remove(ConfigurationFile::filePath());
        QVERIFY(writeConfiguration(plainSmtp(m_smtp->port()), standardRecipients(), {}));
        capturedDebug.clear();
        m_alreadyReceived = int(m_smtp->messages().size());
    }

    void logoResourceIsCompiledIn()
    {
        QFile logo(QStringLiteral(":/tamsel.png"));
        QVERIFY(logo.open(QIODevice::ReadOnly));
        QVERIFY(logo.readAll().startsWith("\x89PNG\r\n\x1a\n"));
    }

    void htmlAndTextMailInOneSession()
    {
        const NotificationData n = periodic(PeriodicType::Daily, "08:00:00", ReportKind::FullReport,
                                            {smsUuid, opsUuid, unknownUuid});
        const ReportTexts texts = ReportComposer::composeReport({battery('B', 1, 95), battery('C', 2, 84)});
        const QDateTime before = QDateTime::currentDateTime();
        deliver(n, texts);
        const QDateTime after = QDateTime::currentDateTime();

        const QList<SmtpTestServer::Message> messages = m_smtp->messages().mid(m_alreadyReceived);
        QCOMPARE(messages.size(), 2);
        QCOMPARE(messages.at(0).session, messages.at(1).session);
        QCOMPARE(messages.at(0).rcptTos, QStringList{QStringLiteral("ops@example.test")});
        QCOMPARE(messages.at(1).rcptTos, QStringList{QStringLiteral("sms@example.test")});
        for (const SmtpTestServer::Message &m : messages) {
            QCOMPARE(m.mailFrom, QStringLiteral("voltkeep@example.test"));
            QCOMPARE(m.login, QStringLiteral("vk"));
        }

        // Every line on the wire ends in CR LF (aiosmtpd keeps the raw bytes as received).
        for (const SmtpTestServer::Message &m : messages) {
            QCOMPARE(m.data.count('\n'), m.data.count("\r\n"));
            QCOMPARE(m.data.count('\r'), m.data.count("\r\n"));
        }

        const Mail html = parseMail(messages.at(0).data);
        QCOMPARE(html.headers.value("from"), QByteArray("Voltkeep <voltkeep@example.test>"));
        // The name holds "@" and ".", so it goes as a quoted string.
        QCOMPARE(html.headers.value("to"), QByteArray("\"Name of ops@example.test\" <ops@example.test>"));
        // The plain text first, then the HTML with its logo: a reader shows the last it can.
        QVERIFY(html.headers.value("content-type").startsWith("multipart/alternative"));
        QCOMPARE(html.parts.size(), 3);
        const MimeEntity &plainPart = html.parts.at(0);
        QCOMPARE(plainPart.headers.value("content-type"), QByteArray("text/plain; charset=utf-8"));
        QVERIFY(plainPart.body.contains(QString(texts.summaryText).replace(QLatin1Char('\n'), QStringLiteral("\r\n")).toUtf8()));
        QVERIFY(plainPart.body.contains("B0123456789 | Excellent | 3200 mAh"));
        const MimeEntity &htmlPart = html.parts.at(1);
        QCOMPARE(htmlPart.headers.value("content-type"), QByteArray("text/html; charset=utf-8"));
        QCOMPARE(htmlPart.headers.value("content-transfer-encoding"), QByteArray("quoted-printable"));
        QVERIFY(isHtmlSentBetween(htmlPart.body, n, texts, before, after));
        const MimeEntity &logo = html.parts.at(2);
        QCOMPARE(logo.headers.value("content-type"), QByteArray("image/png; name=\"tamsel.png\""));
        QCOMPARE(logo.headers.value("content-id"), QByteArray("<tamsel>"));
        QCOMPARE(logo.headers.value("content-disposition"), QByteArray("inline"));
        QFile resource(QStringLiteral(":/tamsel.png"));
        QVERIFY(resource.open(QIODevice::ReadOnly));
        QCOMPARE(logo.body, resource.readAll());

        const Mail text = parseMail(messages.at(1).data);
        QCOMPARE(text.headers.value("to"), QByteArray("\"Name of sms@example.test\" <sms@example.test>"));
        QCOMPARE(text.parts.size(), 1);
        QCOMPARE(text.parts.at(0).headers.value("content-type"), QByteArray("text/plain; charset=utf-8"));
        // The report's lines, each with CR LF: a reader shows them one under the other.
        QVERIFY(texts.plainText.count(QLatin1Char('\n')) >= 5);
        // With how many are due soon, where one message holds it beside its subject.
        const QString sms = ReportComposer::textMessageText(QString::fromUtf8(text.headers.value("subject")), texts);
        QVERIFY(sms.endsWith(QStringLiteral("\nDue within 30 days: 0")));
        QCOMPARE(text.parts.at(0).body, QString(sms).replace(QLatin1Char('\n'), QStringLiteral("\r\n")).toUtf8());

        // Each mail has its own identifier in the sender's domain.
        const QRegularExpression messageId(QStringLiteral("^<[0-9a-f]{32}@example\\.test>$"));
        QVERIFY(messageId.match(QString::fromLatin1(html.headers.value("message-id"))).hasMatch());
        QVERIFY(messageId.match(QString::fromLatin1(text.headers.value("message-id"))).hasMatch());
        QVERIFY(html.headers.value("message-id") != text.headers.value("message-id"));
        QVERIFY(deliveryFailures().isEmpty());
    }

    void largeReportStaysWithinLineLimits()
    {
        QList<BatteryRecord> records;
        for (int i = 0; i < 200; ++i) {
            // Non-ASCII and "=" must survive the transfer encoding as well.
            const QByteArray alias = i % 3 == 0 ? QByteArray("Funkgerät=") + QByteArray::number(i)
                                                : QByteArray("Radio ") + QByteArray::number(i);
            records.append(battery(char('A' + i % 26), quint8(i), quint8(i % 101), alias));
        }
        const NotificationData n = periodic(PeriodicType::Weekly, "08:00:00", ReportKind::FullReport, {opsUuid});
        const ReportTexts texts = ReportComposer::composeReport(records);
        QVERIFY(texts.tableHtml.size() > 30000);
        const QDateTime before = QDateTime::currentDateTime();
        deliver(n, texts);
        const QDateTime after = QDateTime::currentDateTime();

        const QList<SmtpTestServer::Message> messages = m_smtp->messages().mid(m_alreadyReceived);
        QCOMPARE(messages.size(), 1);
        for (const QByteArray &line : messages.at(0).data.split('\n'))
            QVERIFY2(line.size() <= 79, line.constData()); // 78 characters and the CR
        const Mail mail = parseMail(messages.at(0).data);
        // Quoted-printable bodies: 76 characters and the CR.
        for (const MimeEntity &part : mail.parts.mid(0, 2))
            for (const QByteArray &line : part.rawBody.split('\n'))
                QVERIFY2(line.size() <= 77, line.constData());
        QCOMPARE(mail.parts.size(), 3);
        QVERIFY(mail.parts.at(1).rawBody.count("\r\n") >= mail.parts.at(1).rawBody.size() / 78);
        QVERIFY(isHtmlSentBetween(mail.parts.at(1).body, n, texts, before, after));
        QCOMPARE(mail.parts.at(1).body.count("<td>192.168.0.1</td></tr>"), 200);
        QVERIFY(mail.parts.at(1).body.contains("<td>Funkgerät=99</td>"));
        QVERIFY(mail.parts.at(0).body.contains("| Funkgerät=99 |"));
    }

    void summaryAndAlertMails()
    {
        const NotificationData summary =
            periodic(PeriodicType::Monthly, "08:00:00", ReportKind::SummaryReport, {opsUuid});
        const ReportTexts reportTexts = ReportComposer::composeReport({battery('B', 1, 95)});
        const NotificationData alert = triggered(1, {opsUuid});
        const ReportTexts alertTexts = ReportComposer::composeAlert(battery('B', 1, 84));
        const QDateTime before = QDateTime::currentDateTime();
        deliver(summary, reportTexts);
        deliver(alert, alertTexts);
        const QDateTime after = QDateTime::currentDateTime();

        const QList<SmtpTestServer::Message> messages = m_smtp->messages().mid(m_alreadyReceived);
        QCOMPARE(messages.size(), 2);
        QVERIFY(messages.at(0).session != messages.at(1).session); // one session per delivery
        const QByteArray summaryHtml = parseMail(messages.at(0).data).parts.value(1).body;
        QVERIFY(isHtmlSentBetween(summaryHtml, summary, reportTexts, before, after));
        QVERIFY(!summaryHtml.contains("<table border"));
        const QByteArray alertHtml = parseMail(messages.at(1).data).parts.value(1).body;
        QVERIFY(isHtmlSentBetween(alertHtml, alert, alertTexts, before, after));
        QVERIFY(alertHtml.contains("<td>Fair</td>"));
    }

    void recipientsDecideWhichMailsGo()
    {
        const ReportTexts texts = ReportComposer::composeAlert(battery('B', 1, 84));
        // Only text-message recipients: the text mail still goes, no HTML mail.
        deliver(triggered(1, {smsUuid}), texts);
        QList<SmtpTestServer::Message> messages = m_smtp->messages().mid(m_alreadyReceived);
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages.at(0).rcptTos, QStringList{QStringLiteral("sms@example.test")});
        QCOMPARE(parseMail(messages.at(0).data).parts.value(0).body,
                 QString(texts.plainText).replace(QLatin1Char('\n'), QStringLiteral("\r\n")).toUtf8());

        // Two ordinary recipients and an unknown uuid: one HTML mail to both, nobody else.
        deliver(triggered(1, {unknownUuid, otherUuid, opsUuid}), texts);
        messages = m_smtp->messages().mid(m_alreadyReceived);
        QCOMPARE(messages.size(), 2);
        QCOMPARE(messages.at(1).rcptTos,
                 (QStringList{QStringLiteral("ops@example.test"), QStringLiteral("other@example.test")}));
        QVERIFY(deliveryFailures().isEmpty());
    }

    void noKnownRecipientOpensNoConnection()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QVERIFY(writeConfiguration(plainSmtp(server.serverPort()), standardRecipients(), {}));
        QElapsedTimer clock;
        clock.start();
        deliver(triggered(1, {unknownUuid}), ReportComposer::composeAlert(battery('B', 1, 84)));
        deliver(triggered(1, {}), ReportComposer::composeAlert(battery('B', 1, 84)));
        QVERIFY(clock.elapsed() < 2000); // a connection would have waited 5 s for a greeting
        QVERIFY(!server.waitForNewConnection(200));
        QVERIFY(deliveryFailures().isEmpty());
    }

    void unreachableServerGivesTheFourFailures()
    {
        const quint16 port = freeRadioPort(); // nobody listens there
        QVERIFY(port != 0);
        QVERIFY(writeConfiguration(plainSmtp(port), standardRecipients(), {}));
        deliver(periodic(PeriodicType::Daily, "08:00:00", ReportKind::FullReport,
                                              {opsUuid, smsUuid}),
                                     ReportComposer::composeReport({}));
        QCOMPARE(deliveryFailures(),
                 (QStringList{QStringLiteral("Failed to connect to host!"), QStringLiteral("Failed to login!"),
                              QStringLiteral("Failed to send html mail!"), QStringLiteral("Failed to send text mail!")}));

        // The caller carries on: the next delivery, to a working server, goes out.
        capturedDebug.clear();
        QVERIFY(writeConfiguration(plainSmtp(m_smtp->port()), standardRecipients(), {}));
        deliver(triggered(1, {opsUuid}), ReportComposer::composeAlert(battery('B', 1, 84)));
        QCOMPARE(m_smtp->messages().size(), m_alreadyReceived + 1);
        QVERIFY(deliveryFailures().isEmpty());
    }

    void refusedLoginIsReportedAndSendingGoesOn()
    {
        SmtpSettingsData settings = plainSmtp(m_smtp->port(), "vk", "wrong");
        QVERIFY(writeConfiguration(settings, standardRecipients(), {}));
        deliver(triggered(1, {opsUuid}), ReportComposer::composeAlert(battery('B', 1, 84)));
        QVERIFY(deliveryFailures().startsWith(QStringLiteral("Failed to login!")));
        QVERIFY(!deliveryFailures().contains(QStringLiteral("Failed to connect to host!")));
    }

    void credentials_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QByteArrayList>("authLines");
        QTest::newRow("login enabled") << true
                                       << QByteArrayList{"AUTH LOGIN", QByteArray("vk").toBase64(),
                                                         QByteArray("pw").toBase64()};
        // Without authentication no AUTH command goes, and so no credential.
        QTest::newRow("login disabled") << false << QByteArrayList{};
    }

    void credentials()
    {
        QFETCH(bool, enabled);
        QFETCH(QByteArrayList, authLines);
        ScriptedTcpServer server(refusingAt());
        QVERIFY(server.start());
        SmtpSettingsData settings = plainSmtp(server.port());
        settings.authentication.enabled = enabled;
        QVERIFY(writeConfiguration(settings, standardRecipients(), {}));
        deliver(triggered(1, {opsUuid}), ReportComposer::composeAlert(battery('B', 1, 84)));
        QVERIFY(server.waitForFinished());
        const QList<QByteArray> lines = server.receivedLines();
        QVERIFY(lines.size() > 1 + authLines.size());
        QCOMPARE(lines.at(0), QByteArray("EHLO localhost"));
        QCOMPARE(lines.mid(1, authLines.size()), authLines);
        QCOMPARE(lines.at(1 + authLines.size()), QByteArray("MAIL FROM: <voltkeep@example.test>"));
        QCOMPARE(lines.last(), QByteArray("QUIT"));
        const auto count = [&lines](const QByteArray &part) {
            return std::count_if(lines.cbegin(), lines.cend(), [&part](const QByteArray &l) { return l.contains(part); });
        };
        QCOMPARE(count("AUTH"), enabled ? 1 : 0);
        QCOMPARE(count(QByteArray("pw").toBase64()), enabled ? 1 : 0);
        QVERIFY(deliveryFailures().isEmpty()); // a login that is not wanted does not fail
    }

    void refusedStartTlsSendsNothingInClear_data()
    {
        QTest::addColumn<bool>("authentication");
        QTest::newRow("with login") << true;
        QTest::newRow("without login") << false;
    }

    void refusedStartTlsSendsNothingInClear()
    {
        QFETCH(bool, authentication);
        ScriptedTcpServer server([](ScriptedTcpServer::Connection &c) {
            QByteArray line;
            c.send("220 scripted ESMTP\r\n");
            if (!c.readLine(&line)) // EHLO
                return;
            c.send("250-scripted\r\n250 STARTTLS\r\n");
            if (!c.readLine(&line) || line != "STARTTLS")
                return;
            // As a man in the middle who strips the encryption would answer.
            c.send("503 5.5.1 not now\r\n");
            while (c.readLine(&line, 3000)) {
            }
        });
        QVERIFY(server.start());
        SmtpSettingsData settings = plainSmtp(server.port());
        settings.security = SecurityType::StartTls;
        settings.authentication.enabled = authentication;
        QVERIFY(writeConfiguration(settings, standardRecipients(), {}));
        deliver(periodic(PeriodicType::Daily, "08:00:00", ReportKind::FullReport, {opsUuid, smsUuid}),
                                     ReportComposer::composeReport({battery('B', 1, 95)}));
        QVERIFY(server.waitForFinished());
        QCOMPARE(server.receivedLines(), (QList<QByteArray>{"EHLO localhost", "STARTTLS"}));
        QStringList expected{QStringLiteral("Failed to connect to host!")};
        if (authentication)
            expected << QStringLiteral("Failed to login!");
        expected << QStringLiteral("Failed to send html mail!") << QStringLiteral("Failed to send text mail!");
        QCOMPARE(deliveryFailures(), expected);
    }

    void unreadableSettingsSendNothing()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QVERIFY(writeRawConfiguration("{\"smtpSettings\": {\"server\": \"127.0.0.1\", \"port\": \"" +
                                      QByteArray::number(server.serverPort()) + "\"}}"));
        RecordingEventSink sink;
        deliver(triggered(1, {opsUuid}), ReportComposer::composeAlert(battery('B', 1, 84)));
        QCOMPARE(sink.count(LogType::Error, QStringLiteral("type must be number")), 1);
        QCOMPARE(sink.entries.size(), 1);
        QVERIFY(!server.waitForNewConnection(200));
    }

    void healthAlertsGoToEveryNotificationOfTheClass()
    {
        const NotificationList notifications{triggered(1, {opsUuid}, "fair one"), triggered(2, {otherUuid}, "good"),
                                             triggered(1, {smsUuid}, "fair two"), triggered(0, {opsUuid}, "poor")};
        NotificationList withOddTrigger = notifications;
        withOddTrigger[2].triggerType = 0; // the trigger kind plays no part
        QVERIFY(writeConfiguration(plainSmtp(m_smtp->port()), standardRecipients(), withOddTrigger));
        QDateTime now(QDate(2025, 1, 15), QTime(10, 0));
        NotificationPlanner manager(ConfigurationFile::filePath(), [&now] { return now; });
        NotificationDelivery delivery(ConfigurationFile::filePath());
        const auto healthAlert = [&](const BatteryRecord &record) {
            delivery.healthAlert(record, manager.triggeredNotifications());
        };

        healthAlert(battery('B', 1, 84)); // Fair
        QList<SmtpTestServer::Message> messages = m_smtp->messages().mid(m_alreadyReceived);
        QCOMPARE(messages.size(), 2);
        QCOMPARE(messages.at(0).rcptTos, QStringList{QStringLiteral("ops@example.test")});
        QCOMPARE(messages.at(1).rcptTos, QStringList{QStringLiteral("sms@example.test")});
        QVERIFY(parseMail(messages.at(1).data).parts.value(0).body.contains("Health: Fair"));

        for (int i = 0; i < 3; ++i) {
            now = manager.nextPassTime();
            manager.setupTimers();
        }
        healthAlert(battery('B', 1, 84));
        QCOMPARE(m_smtp->messages().size(), m_alreadyReceived + 4);

        healthAlert(battery('B', 1, 98)); // Excellent: no notification is set to it
        QCOMPARE(m_smtp->messages().size(), m_alreadyReceived + 4);
        healthAlert(battery('B', 1, 10)); // Poor
        QCOMPARE(m_smtp->messages().size(), m_alreadyReceived + 5);
    }

    void periodicReportSendsThePlannedNotification()
    {
        const NotificationList notifications{
            periodic(PeriodicType::Daily, "11:00:00", ReportKind::FullReport, {opsUuid}),
            periodic(PeriodicType::Daily, "12:00:00", ReportKind::SummaryReport, {otherUuid})};
        QVERIFY(writeConfiguration(plainSmtp(m_smtp->port()), standardRecipients(), notifications));
        QDateTime now(QDate(2025, 1, 15), QTime(10, 0));
        NotificationPlanner manager(ConfigurationFile::filePath(), [&now] { return now; });
        NotificationDelivery delivery(ConfigurationFile::filePath());
        const auto periodicReport = [&](const QString &key, const QList<BatteryRecord> &records) {
            if (const auto notification = manager.scheduledNotification(key))
                delivery.periodicReport(*notification, records);
        };
        const auto armed = manager.armedOccurrences();
        QCOMPARE(armed.size(), 14);
        const QString fullKey = armed.at(0).key;
        const QString summaryKey = armed.at(1).key;

        const QList<BatteryRecord> records{battery('B', 1, 95), battery('C', 2, 50)};
        periodicReport(QStringLiteral("{not-a-planned-key}"), records);
        QCOMPARE(m_smtp->messages().size(), m_alreadyReceived);
        periodicReport(fullKey, records);
        periodicReport(summaryKey, records);
        const QList<SmtpTestServer::Message> messages = m_smtp->messages().mid(m_alreadyReceived);
        QCOMPARE(messages.size(), 2);
        QCOMPARE(messages.at(0).rcptTos, QStringList{QStringLiteral("ops@example.test")});
        const QByteArray full = parseMail(messages.at(0).data).parts.value(1).body;
        QVERIFY(full.contains(ReportComposer::composeReport(records).tableHtml.toUtf8()));
        QCOMPARE(messages.at(1).rcptTos, QStringList{QStringLiteral("other@example.test")});
        const QByteArray summary = parseMail(messages.at(1).data).parts.value(1).body;
        const ReportTexts texts = ReportComposer::composeReport(records);
        QVERIFY(summary.endsWith((texts.summaryHtml + texts.leadHtml).toUtf8()));
    }

    // One Warning per failed delivery: where and why it stopped, never the password.
    void failureAtEachStepIsLoggedOnce_data()
    {
        QTest::addColumn<QByteArray>("verb"); // the command refused; empty: nobody listens
        QTest::addColumn<QString>("step");
        QTest::addColumn<QString>("reason"); // as logged: the server's reply or the network's error
        QTest::addColumn<bool>("transient");
        QTest::newRow("no server") << QByteArray() << "connect" << "Connection refused" << true;
        QTest::newRow("greeting") << QByteArray("greeting") << "connect" << "554 5.3.2 not accepting mail" << false;
        QTest::newRow("STARTTLS") << QByteArray("STARTTLS") << "TLS" << "454 4.7.0 TLS not available" << true;
        QTest::newRow("login, password echoed") << QByteArray("AUTH") << "login" << "535 5.7.8 refused: ***" << false;
        QTest::newRow("sender") << QByteArray("MAIL") << "sender" << "550 5.7.1 sender rejected" << false;
        QTest::newRow("recipient") << QByteArray("RCPT") << "recipient" << "450 4.2.1 mailbox busy" << true;
        QTest::newRow("data") << QByteArray(".") << "data" << "554 5.6.0 message refused" << false;
    }

    void failureAtEachStepIsLoggedOnce()
    {
        QFETCH(QByteArray, verb);
        QFETCH(QString, step);
        QFETCH(QString, reason);
        QFETCH(bool, transient);
        ScriptedTcpServer server(refusingAt(verb, reason.toUtf8().replace(" ***", "")));
        QVERIFY(verb.isEmpty() || server.start());
        SmtpSettingsData settings = plainSmtp(verb.isEmpty() ? freeRadioPort() : server.port(), "vk", password.toStdString());
        settings.security = verb == "STARTTLS" ? SecurityType::StartTls : SecurityType::PlainTcp;
        QVERIFY(writeConfiguration(settings, standardRecipients(), {}));
        MailLedger ledger;
        RecordingEventSink sink;
        deliver(periodic(PeriodicType::Daily, "08:00:00", ReportKind::FullReport, {opsUuid}),
                ReportComposer::composeReport({}), &ledger);
        QCOMPARE(sink.entries.size(), 1);
        QCOMPARE(sink.entries.at(0).type, LogType::Warning);
        QCOMPARE(sink.entries.at(0).message,
                 QStringLiteral("Mail not sent for \"periodic\": report to 1 recipient; 127.0.0.1:%1 failed at %2: %3")
                     .arg(settings.port)
                     .arg(step, reason));
        QCOMPARE(ledger.notifications().value(0).lastFailureTransient, transient);
    }

    // The same failure again and again is logged once an hour, and the success after it says so.
    void repeatedFailuresAreCollapsed()
    {
        QDateTime now(QDate(2025, 1, 15), QTime(10, 0));
        MailLedger ledger([&now] { return now; });
        const quint16 deadPort = freeRadioPort();
        QVERIFY(writeConfiguration(plainSmtp(deadPort), standardRecipients(), {}));
        RecordingEventSink sink;
        for (int i = 0; i < 5; ++i, now = now.addSecs(1200)) { // the fourth an hour after the first
            if (i == 4)
                QVERIFY(writeConfiguration(plainSmtp(m_smtp->port()), standardRecipients(), {}));
            deliver(periodic(PeriodicType::Daily, "08:00:00", ReportKind::FullReport, {opsUuid}),
                    ReportComposer::composeReport({}), &ledger);
        }
        const QString failure = QStringLiteral("Mail not sent for \"periodic\": report to 1 recipient; 127.0.0.1:%1 "
                                               "failed at connect: Connection refused").arg(deadPort);
        const QString since = QStringLiteral(" since 2025-01-15 10:00:00 +00:00)");
        QCOMPARE(sink.entries.size(), 3);
        QCOMPARE(sink.entries.at(0).message, failure);
        QCOMPARE(sink.entries.at(1).message, failure + " (4 times in a row" + since);
        QCOMPARE(sink.entries.at(2).message,
                 "Mail sent for \"periodic\": report to 1 recipient (the first success after 4 failed attempts" + since);
        QCOMPARE(ledger.totals().reportsFailed, quint64(4));
        QCOMPARE(ledger.notifications().value(0).lastSuccess, now.addSecs(-1200));
    }

private:
    QTemporaryDir m_dataFolder;
    std::unique_ptr<SmtpTestServer> m_smtp;
    int m_alreadyReceived = 0;
};

QTEST_GUILESS_MAIN(TestNotificationDelivery)
#include "tst_notificationdelivery.moc"
