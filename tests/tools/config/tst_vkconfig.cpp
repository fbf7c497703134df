// vkconfig as an administrator uses it: from nothing to a server that mails (end to end), the type names
// in vk.cfg as the server reads them, and every kind of input it refuses, each leaving the files as they were.
#include "NotificationTestSupport.h"
#include "ProgramRun.h"
#include "SmtpTestServer.h"
#include "VoltkeepProcess.h"

#include <ConfigurationFile.h>
#include <DataPaths.h>
#include <ServerSettings.h>
#include <SingleInstanceLock.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

using namespace NVL::Engineering::VK;

namespace {

using Run = ProgramRun;

Run vkconfig(const QStringList &arguments, const QByteArray &input = QByteArray())
{
    return ProgramRun::of(QStringLiteral(VK_VKCONFIG_BIN), arguments, input);
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QString password = QStringLiteral("Qw8 s3cret!");

QString settingsFile()
{
    return DataPaths::current().settingsFile();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestVkconfig : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        qputenv("NORVALE_COMMON_APPDATA", m_dir->path().toUtf8());
    }

    void fromNothingToMailedReports()
    {
        SmtpTestServer::Options options;
        options.authUser = QStringLiteral("alerts@norvale.test");
        options.authPassword = password;
        SmtpTestServer smtp(options);
        QVERIFY2(smtp.start(), qPrintable(smtp.errorString()));
        // Midnight between planning and due time would move the report to tomorrow.
        while (QTime::currentTime() > QTime(23, 59, 30))
            QTest::qWait(1000);

        const QStringList smtpArguments{"smtp", "--server", "127.0.0.1", "--port", QString::number(smtp.port()),
                                        "--security", "none", "--auth", "--user", "alerts@norvale.test",
                                        "--password-stdin", "--sender-name", "Voltkeep",
                                        "--sender-email", "voltkeep@norvale.test"};
        QCOMPARE(vkconfig(smtpArguments, password.toUtf8() + "\n").exitCode, 0);
        QCOMPARE(vkconfig({"recipient", "add", "Fleet Desk", "fleet@norvale.test"}).exitCode, 0);
        QCOMPARE(vkconfig({"recipient", "add", "Night", "5551234567@sms.carrier.example", "--text"}).exitCode, 0);
        QDateTime due = QDateTime::currentDateTime().addSecs(8);
        due.setTime(QTime(due.time().hour(), due.time().minute(), due.time().second())); // whole seconds, as stored
        const QString time = due.toString(QStringLiteral("HH:mm:ss"));
        const Run added = vkconfig({"notification", "add", "Morning report", "--daily", time, "--to", "Fleet Desk",
                                    "--to", "Night"});
        QCOMPARE(added.exitCode, 0);
        QVERIFY2(added.out.contains(QStringLiteral("Next due: ") + due.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss +00:00"))),
                 qPrintable(added.out));

        const Run shown = vkconfig({"show"});
        QCOMPARE(shown.exitCode, 0);
        QVERIFY(shown.out.contains(QStringLiteral("Authentication: on, user alerts@norvale.test, password set")));
        QVERIFY(!shown.out.contains(password) && !vkconfig({"show", "--json"}).out.contains(password));
        const QString file = ConfigurationFile::filePath();
        QCOMPARE(QFile::permissions(file) & 0x7077, QFile::ReadOwner | QFile::WriteOwner); // owner, group, others

        VoltkeepProcess server(m_dir->path());
        server.setPort(VoltkeepProcess::freePort());
        QVERIFY(server.start());
        QVERIFY2(QDateTime::currentDateTime() < due, "the server started after the report was due");
        QVERIFY2(smtp.waitForMessages(2, 20000), qPrintable(server.log()));
        QList<SmtpTestServer::Message> messages = smtp.messages();
        QCOMPARE(messages.at(0).login, QStringLiteral("alerts@norvale.test"));
        QCOMPARE(messages.at(0).rcptTos, QStringList{QStringLiteral("fleet@norvale.test")});
        QCOMPARE(messages.at(1).rcptTos, QStringList{QStringLiteral("5551234567@sms.carrier.example")});
        QVERIFY(QDateTime::currentDateTime() >= due.addSecs(-1)); // the planner's timers may fire a second early

        const Run test = vkconfig({"test-mail"});
        QCOMPARE(test.exitCode, 0);
        QCOMPARE(test.out, QStringLiteral("Server: 127.0.0.1, port %1, security none\nConnect: done\nLog in as alerts@norvale.test: "
                                          "done\nSend to voltkeep@norvale.test: done\nTest mail sent to voltkeep@norvale.test.\n")
                               .arg(smtp.port()));
        messages = smtp.messages();
        QCOMPARE(messages.size(), 3);
        QCOMPARE(messages.at(2).rcptTos, QStringList{QStringLiteral("voltkeep@norvale.test")});
        QCOMPARE(NotificationTest::parseMail(messages.at(2).data).headers.value("subject"), QByteArray("Test mail from Bellwright"));

        // A recipient that a notification names leaves it too, in the same write, and vkconfig says so.
        const Run removed = vkconfig({"recipient", "remove", "Night"});
        QCOMPARE(removed.exitCode, 0);
        QVERIFY(removed.out.contains(QStringLiteral("Also taken out of the notifications: Morning report")));
        const RecipientList recipients = ConfigurationFile().recipients();
        QCOMPARE(recipients.size(), std::size_t(1));
        QCOMPARE(ConfigurationFile().notifications().at(0).recipientList, std::set<std::string>{recipients.at(0).uuid});

        const Run silent = vkconfig({"notification", "add", "Lost", "--alert", "silent", "--to", "Fleet Desk"});
        QCOMPARE(silent.exitCode, 0);
        QVERIFY2(silent.out.contains(QStringLiteral("\"battery silent\"")), qPrintable(silent.out));
        QCOMPARE(ConfigurationFile().notifications().at(1).triggerType, SilentTrigger);
    }

    // Only the lines of [types] change, and the server reads what was given; the file keeps its mode.
    void typeCommandsEditTheirSectionOnly_data()
    {
        QTest::addColumn<QByteArray>("before"); // empty: no vk.cfg yet
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<uint>("code");
        QTest::addColumn<QString>("shown"); // as the server names the code afterwards
        QTest::addColumn<QString>("output");
        QTest::newRow("section added at the end")
            << QByteArray("[http]\nlisten=127.0.0.1:9363\n") << QStringList{"type", "set", "0x00c10100", "Li-ion 2300 mAh"}
            << QByteArray("[http]\nlisten=127.0.0.1:9363\n\n[types]\n0x00c10100=Li-ion 2300 mAh\n") << 0x00c10100u
            << "Li-ion 2300 mAh" << "Type 0x00c10100 named \"Li-ion 2300 mAh\".\nThe server reads vk.cfg at start";
        QTest::newRow("after the last entry, comments kept")
            << QByteArray("# site\n[types]\n; north\n0x1=A\n\n[mail]\nsessionSeconds=60") << QStringList{"type", "set", "0x2", "B"}
            << QByteArray("# site\n[types]\n; north\n0x1=A\n0x00000002=B\n\n[mail]\nsessionSeconds=60") << 2u << "B" << "named";
        QTest::newRow("replaced in place, twin dropped, CRLF kept")
            << QByteArray("[types]\r\n0XC10100=Old\r\n[mail]\r\nx=1\r\n[types]\r\n0x00c10100=Twin")
            << QStringList{"type", "set", "0x00c10100", "Li-ion, rugged"}
            << QByteArray("[types]\r\n0XC10100=\"Li-ion, rugged\"\r\n[mail]\r\nx=1\r\n[types]\r\n") << 0x00c10100u
            << "Li-ion, rugged" << "named";
        QTest::newRow("what QSettings reads otherwise, quoted") << QByteArray() << QStringList{"type", "set", "0x7", "@home \"q\" \\x; Gr\u00fc\u00dfe"}
            << QByteArray("[types]\n0x00000007=\"@@home \\\"q\\\" \\\\x; Gr\xc3\xbc\xc3\x9f" "e\"\n") << 7u
            << "@home \"q\" \\x; Gr\u00fc\u00dfe" << "named";
        QTest::newRow("removed with its continued lines") << QByteArray("[types]\n0x1=A \\\n more\n0x2=B\n")
            << QStringList{"type", "remove", "0x00000001"} << QByteArray("[types]\n0x2=B\n") << 1u << "0x00000001"
            << "Type 0x00000001 has no name now";
        QTest::newRow("list") << QByteArray("[types]\n0x2=B\nbad=C\n") << QStringList{"type", "list"}
            << QByteArray("[types]\n0x2=B\nbad=C\n") << 2u << "B"
            << "/Voltkeep/vk.cfg\n  0x00000002  B\nThe server leaves out, with a Warning at start:\n"
               "  vk.cfg: [types] bad is no type code";
    }

    void typeCommandsEditTheirSectionOnly()
    {
        QFETCH(QByteArray, before);
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, after);
        QFETCH(uint, code);
        QFETCH(QString, shown);
        QFETCH(QString, output);
        const QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
        if (!before.isEmpty())
            QVERIFY(writeFile(settingsFile(), before) && QFile::setPermissions(settingsFile(), mode));

        const Run run = vkconfig(arguments);
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains(output), qPrintable(run.out));
        QCOMPARE(fileBytes(settingsFile()), after);
        QCOMPARE(QFile::permissions(settingsFile()) & 0x7077, before.isEmpty() ? QFile::ReadOwner | QFile::WriteOwner : mode);
        QCOMPARE(ServerSettings::read(settingsFile()).types.nameOf(code), shown);
    }

    // Added as the server reads it, with a secret made where none was given; listed; removed to the last key.
    void webhookCommandsEditTheirSectionOnly()
    {
        const QByteArray before = "[http]\nlisten=127.0.0.1:9363\n";
        QVERIFY(writeFile(settingsFile(), before));
        const Run added = vkconfig({"webhook", "add", "tickets", "https://tickets.test/v", "--events",
                                    "battery.due,battery.now", "--due-days", "60"});
        QCOMPARE(added.exitCode, 0);
        const WebhookSettings read = ServerSettings::read(settingsFile()).webhooks;
        QCOMPARE(read.endpoints.size(), 1);
        const WebhookEndpoint &endpoint = read.endpoints.first();
        QCOMPARE(endpoint.events, QStringList({"battery.due", "battery.now"}));
        QCOMPARE(endpoint.dueDays, 60);
        QCOMPARE(endpoint.secret.size(), 64);
        QVERIFY2(added.out.contains(QString::fromLatin1(endpoint.secret)), qPrintable(added.out));
        const Run listed = vkconfig({"webhook", "list"});
        QVERIFY2(listed.out.contains("tickets  https://tickets.test/v\n    events battery.due battery.now; due within 60 days"),
                 qPrintable(listed.out));
        QCOMPARE(vkconfig({"webhook", "remove", "tickets"}).exitCode, 0);
        QCOMPARE(fileBytes(settingsFile()), before + "\n[webhooks]\n");
    }

    void refusedInputsLeaveTheFileAlone_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        const auto row = [](const char *name, QStringList arguments, int exitCode, const char *message,
                            const QByteArray &input = QByteArray(), const char *setup = "") {
            QTest::newRow(name) << arguments << input << QString::fromLatin1(setup) << exitCode << QString::fromUtf8(message);
        };
        row("address without @", {"recipient", "add", "Dana", "dana at depot"}, 2, "EMAIL: it contains a blank");
        row("header injection in an address", {"recipient", "add", "Dana", "d@x.test\r\nBcc: all@x.test"}, 2, "EMAIL: it contains a line break");
        row("line break in a name", {"recipient", "add", "Da\nna", "d@x.test"}, 2, "NAME: it contains a line break");
        row("sender email without domain", {"smtp", "--sender-email", "ops@"}, 2, "--sender-email: nothing follows the @");
        row("line break in the server", {"smtp", "--server", "mail\r\nRCPT TO:<x@y>"}, 2, "--server: it contains a line break");
        row("empty server", {"smtp", "--server", ""}, 2, "--server: it is empty");
        row("server with a blank", {"smtp", "--server", "mail example.com"}, 2, "--server: \"mail example.com\" is no host name");
        row("line break in the alias", {"notification", "add", "A\nB", "--daily", "07:00", "--to", "Dana"}, 2, "ALIAS: it contains a line break");
        row("password outside ASCII", {"smtp", "--password-stdin"}, 2, "the password: it contains characters outside ASCII", "Qw8-p\xc3\xa4ss\n");
        row("password of two lines", {"smtp", "--password-stdin"}, 2, "the password: it contains a line break", "Qw8-one\nQw8-two\n");
        row("password as an argument", {"smtp", "Qw8-typed"}, 1, "a password is never an argument");
        row("password prompt without terminal", {"smtp", "--password"}, 1, "use --password-stdin");
        row("port out of range", {"smtp", "--port", "70000"}, 2, "--port: a port is a number from 1 to 65535");
        row("unknown security", {"smtp", "--security", "tls"}, 2, "--security: it is none, ssl or starttls");
        row("time out of range", {"notification", "add", "N", "--daily", "25:00", "--to", "Dana"}, 2, "--daily: the time is");
        row("unknown day", {"notification", "add", "N", "--weekly", "Funday", "07:00", "--to", "Dana"}, 2, "--weekly: the day is Mon..Sun");
        row("unknown class", {"notification", "add", "N", "--alert", "Bad", "--to", "Dana"}, 2, "--alert: it is Poor, Fair, Good or silent");
        row("line break in a silent alert's alias", {"notification", "add", "A\nB", "--alert", "silent", "--to", "Dana"}, 2,
            "ALIAS: it contains a line break");
        row("no recipient", {"notification", "add", "N", "--daily", "07:00"}, 1, "--to NAME is needed");
        row("two schedules", {"notification", "add", "N", "--daily", "07:00", "--alert", "Poor", "--to", "Dana"}, 1, "--daily and --alert exclude each other");
        row("unknown recipient", {"notification", "add", "N", "--daily", "07:00", "--to", "Nobody"}, 3, "no recipient is named \"Nobody\"");
        row("alias taken", {"notification", "add", "Daily", "--daily", "07:00", "--to", "Dana"}, 4, "a notification named \"Daily\" exists");
        row("name taken", {"recipient", "add", "Dana", "dana@x.test"}, 4, "a recipient named \"Dana\" exists");
        row("remove unknown", {"recipient", "remove", "Nobody"}, 3, "no recipient is named \"Nobody\"");
        row("remove one of two equal aliases", {"notification", "remove", "Daily"}, 3, "several notifications are named \"Daily\"",
            QByteArray(), "twin");
        row("unknown option", {"smtp", "--colour", "blue"}, 1, "smtp: unknown option --colour");
        row("unknown command", {"frobnicate"}, 1, "unknown command frobnicate");
        row("broken file", {"recipient", "list"}, 5, "cannot read", QByteArray(), "broken");
        row("Bellwright running", {"recipient", "add", "Eve", "eve@x.test"}, 7, "Bellwright (or another vkconfig) is editing", QByteArray(), "locked");
        row("type code no code", {"type", "set", "0xzz", "A"}, 2, "CODE: it is 0x and up to 8 hex digits");
        row("type name too long", {"type", "set", "0x1", QString(65, u'n')}, 2, "NAME: the name is longer than 64 characters");
        row("type name of two lines", {"type", "set", "0x1", "A\nB"}, 2, "NAME: the name holds a character that is not printable (U+000A)");
        row("type without a name", {"type", "remove", "0x9"}, 3, "type 0x00000009 has no name in");
        row("types full", {"type", "set", "0xfffff", "X"}, 2, "[types] names 1000 types, the most the server reads", QByteArray(), "full");
        row("vk.cfg unreadable", {"type", "list"}, 5, "cannot read", QByteArray(), "vk.cfg folder");
        row("webhook over plain http elsewhere", {"webhook", "add", "t", "http://tickets.test/h"}, 2,
            "URL is http:// to another machine");
        row("webhook of an unknown event", {"webhook", "add", "t", "https://tickets.test/h", "--events", "battery.gone"}, 2,
            "--events: battery.gone is none of");
        row("webhook name taken", {"webhook", "add", "hook", "https://tickets.test/h"}, 4, "webhook hook is in", QByteArray(), "webhook");
        row("webhook remove unknown", {"webhook", "remove", "t"}, 3, "no webhook t in");
        row("webhook test not taken", {"webhook", "test", "hook"}, 9, "not delivered to http://127.0.0.1:1/h: network_error",
            QByteArray(), "webhook");
    }

    void refusedInputsLeaveTheFileAlone()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(QString, setup);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const std::string dana = "{00000000-0000-4000-8000-00000000000d}";
        QVERIFY(NotificationTest::writeConfiguration(NotificationTest::plainSmtp(25), {{dana, "Dana", "dana@x.test", false}},
                                                     {NotificationTest::periodic(PeriodicType::Daily, "07:00:00")}));
        NotificationList notifications = ConfigurationFile().notifications();
        notifications.at(0).alias = "Daily";
        if (setup == QLatin1String("twin"))
            notifications.push_back(notifications.at(0));
        QVERIFY(ConfigurationFile().setNotifications(notifications));
        if (setup == QLatin1String("broken"))
            QVERIFY(NotificationTest::writeRawConfiguration("{ \"smtpSettings\": "));
        SingleInstanceLock bellwright;
        if (setup == QLatin1String("locked"))
            QVERIFY(bellwright.tryLock());
        QByteArray types = "[types]\n0x1=One\n";
        for (int code = 2; setup == QLatin1String("full") && code <= 1000; ++code)
            types += QByteArray("0x") + QByteArray::number(code, 16) + "=T\n";
        if (setup == QLatin1String("vk.cfg folder"))
            QVERIFY(QDir().mkpath(settingsFile()));
        else if (setup == QLatin1String("webhook")) // a loopback port nothing listens on
            QVERIFY(writeFile(settingsFile(), types + "[webhooks]\nhook.url=http://127.0.0.1:1/h\nhook.events=all\nhook.secret=s\n"));
        else
            QVERIFY(writeFile(settingsFile(), types));
        const QByteArray before = fileBytes(ConfigurationFile::filePath());
        const QByteArray settingsBefore = fileBytes(settingsFile());

        const Run run = vkconfig(arguments, input);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.startsWith(QStringLiteral("vkconfig: ")) && run.err.count(QLatin1Char('\n')) == 1
                     && run.err.endsWith(QLatin1Char('\n')),
                 qPrintable(run.err));
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QVERIFY2(!run.err.contains(QStringLiteral("Qw8")) && !run.out.contains(QStringLiteral("Qw8")), qPrintable(run.err));
        QCOMPARE(fileBytes(ConfigurationFile::filePath()), before);
        QCOMPARE(fileBytes(settingsFile()), settingsBefore);
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

QTEST_GUILESS_MAIN(TestVkconfig)
#include "tst_vkconfig.moc"
