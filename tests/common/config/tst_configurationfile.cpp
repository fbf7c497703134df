#include "ConfigurationFile.h"
#include "FifoWatchdog.h"
#include "ScrambleText.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <nlohmann/json.hpp>

#include <memory>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

using namespace NVL::Engineering::VK;

using nlohmann::json;

namespace {

const char defaultDocument[] =
    "{\n"
    "   \"magic\": \"NVLCELBW\",\n"
    "   \"notifications\": [],\n"
    "   \"recipients\": [],\n"
    "   \"smtpSettings\": {\n"
    "      \"authentication\": {\n"
    "         \"enabled\": true,\n"
    "         \"password\": \"\",\n"
    "         \"username\": \"\"\n"
    "      },\n"
    "      \"port\": 465,\n"
    "      \"security\": 1,\n"
    "      \"sender\": {\n"
    "         \"email\": \"\",\n"
    "         \"name\": \"\"\n"
    "      },\n"
    "      \"server\": \"\"\n"
    "   },\n"
    "   \"version\": 1\n"
    "}";

} // namespace

class TestConfigurationFile : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_temp;
    QString m_folder;
    QString m_path;

    QByteArray fileBytes() const
    {
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly))
            return QByteArray("<unreadable>");
        return file.readAll();
    }

    bool putFile(const QByteArray &bytes) const
    {
        QDir().mkpath(m_folder);
        QFile file(m_path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
    }

    template <typename Exception, typename Call>
    static std::string errorOf(Call call)
    {
        try {
            call();
        } catch (const Exception &e) {
            return e.what();
        }
        return "<no exception>";
    }

private slots:
    void init()
    {
        m_temp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_temp->isValid());
        // A base that does not exist yet: the first read must create every level.
        const QString base = m_temp->path() + QStringLiteral("/common");
        qputenv("NORVALE_COMMON_APPDATA", base.toUtf8());
        m_folder = base + QStringLiteral("/Norvale/Cellwarden");
        m_path = m_folder + QStringLiteral("/Bellwright.JSON");
        QCoreApplication::setApplicationName(QStringLiteral("Voltkeep"));
    }

    void cleanup()
    {
        qunsetenv("NORVALE_COMMON_APPDATA");
        m_temp.reset();
    }

    void firstReadCreatesTheDefaultDocument()
    {
        QVERIFY(!QFileInfo::exists(m_folder));
        QVERIFY(ConfigurationFile().notifications().empty());
        QVERIFY(QFileInfo(m_folder).isDir());
        QCOMPARE(fileBytes(), QByteArray(defaultDocument));
        QCOMPARE(fileBytes().count('\n'), 19); // 20 lines, none after the last brace
        QCOMPARE(ConfigurationFile::filePath(), m_path);
        // Locating the file leaves the process's names as they were.
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Voltkeep"));
        QCOMPARE(ConfigurationFile::defaultConfiguration().dump(3), std::string(defaultDocument));
    }

    void gettersOnTheDefaultDocument()
    {
        ConfigurationFile file;
        const SmtpSettingsData s = file.smtpSettings();
        QCOMPARE(s.server, std::string());
        QCOMPARE(s.port, 465);
        QCOMPARE(s.security, SecurityType::ImplicitTls);
        QCOMPARE(s.authentication.enabled, true);
        QCOMPARE(s.authentication.username, std::string());
        QCOMPARE(s.authentication.password, std::string());
        QCOMPARE(s.sender.name, std::string());
        QCOMPARE(s.sender.email, std::string());
        QVERIFY(file.recipients().empty());
        QVERIFY(file.notifications().empty());
        QCOMPARE(fileBytes(), QByteArray(defaultDocument));
    }

    void settersWriteTheExactLayout()
    {
        ConfigurationFile file;
        RecipientData r{"{00000000-0000-4000-8000-000000000001}", "Jürgen \"J\" Groß", "j@example.org", true};
        NotificationData n;
        n.alias = "Tab\tand back\\slash\x01";
        n.time = "07:30:00";
        n.recipientList = {"{b}", "{a}"};
        QVERIFY(file.setRecipients({r}));
        QVERIFY(file.setNotifications({n, NotificationData{}}));
        const QByteArray expected =
            "{\n"
            "   \"magic\": \"NVLCELBW\",\n"
            "   \"notifications\": [\n"
            "      {\n"
            "         \"alias\": \"Tab\\tand back\\\\slash\\u0001\",\n"
            "         \"day\": 1,\n"
            "         \"dayOfWeek\": 1,\n"
            "         \"month\": 1,\n"
            "         \"notificationType\": 0,\n"
            "         \"periodicType\": 2,\n"
            "         \"recipientList\": [\n"
            "            \"{a}\",\n"
            "            \"{b}\"\n"
            "         ],\n"
            "         \"reportType\": 0,\n"
            "         \"time\": \"07:30:00\",\n"
            "         \"triggerType\": 2,\n"
            "         \"triggerValue\": 0\n"
            "      },\n"
            "      {\n"
            "         \"alias\": \"\",\n"
            "         \"day\": 1,\n"
            "         \"dayOfWeek\": 1,\n"
            "         \"month\": 1,\n"
            "         \"notificationType\": 0,\n"
            "         \"periodicType\": 2,\n"
            "         \"recipientList\": [],\n"
            "         \"reportType\": 0,\n"
            "         \"time\": \"\",\n"
            "         \"triggerType\": 2,\n"
            "         \"triggerValue\": 0\n"
            "      }\n"
            "   ],\n"
            "   \"recipients\": [\n"
            "      {\n"
            "         \"email\": \"j@example.org\",\n"
            "         \"name\": \"J\xc3\xbcrgen \\\"J\\\" Gro\xc3\x9f\",\n"
            "         \"textMessage\": true,\n"
            "         \"uuid\": \"{00000000-0000-4000-8000-000000000001}\"\n"
            "      }\n"
            "   ],\n"
            "   \"smtpSettings\": {\n"
            "      \"authentication\": {\n"
            "         \"enabled\": true,\n"
            "         \"password\": \"\",\n"
            "         \"username\": \"\"\n"
            "      },\n"
            "      \"port\": 465,\n"
            "      \"security\": 1,\n"
            "      \"sender\": {\n"
            "         \"email\": \"\",\n"
            "         \"name\": \"\"\n"
            "      },\n"
            "      \"server\": \"\"\n"
            "   },\n"
            "   \"version\": 1\n"
            "}";
        QCOMPARE(fileBytes(), expected);
        QCOMPARE(file.recipients(), RecipientList{r});
        QCOMPARE(file.notifications(), (NotificationList{n, NotificationData{}}));
        // The replacement leaves no temporary file behind.
        QCOMPARE(QDir(m_folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{QStringLiteral("Bellwright.JSON")});
    }

    void passwordIsStoredScrambled()
    {
        ConfigurationFile file;
        SmtpSettingsData s;
        s.server = "mail.example.org";
        s.authentication.username = "vk";
        s.authentication.password = "abc";
        QVERIFY(file.setSmtpSettings(s));
        const std::string stored = json::parse(fileBytes().toStdString())["smtpSettings"]["authentication"]["password"];
        QCOMPARE(stored.size(), std::size_t(3));
        for (std::size_t i = 0; i < 3; ++i)
            QCOMPARE(stored[i], char(s.authentication.password[i] ^ scrambleKey[i]));
        QVERIFY(stored != s.authentication.password);
        QVERIFY(fileBytes().contains("\"password\": \"0\\u0015[\""));
        QCOMPARE(file.smtpSettings(), s);

        // 'w' and '8' equal the key at positions 1 and 2: NUL bytes, written as six-character escapes.
        s.authentication.password = "pw8";
        QVERIFY(file.setSmtpSettings(s));
        QVERIFY2(fileBytes().contains("\"password\": \"!\\u0000\\u0000\""), fileBytes().constData());
        QCOMPARE(file.smtpSettings().authentication.password, std::string("pw8"));

        // Longer than the key: the key repeats.
        s.authentication.password = "Qw8Ht2ZkPn5Rdx7JQx";
        QVERIFY(file.setSmtpSettings(s));
        const std::string longStored =
            json::parse(fileBytes().toStdString())["smtpSettings"]["authentication"]["password"];
        QCOMPARE(longStored, std::string(16, '\0') + std::string("\0\x0f", 2));
        QCOMPARE(file.smtpSettings().authentication.password, s.authentication.password);
    }

    void refusedSerialisationLeavesTheFileUntouched()
    {
        ConfigurationFile file;
        SmtpSettingsData s;
        s.server = "before";
        s.authentication.password = "ascii";
        QVERIFY(file.setSmtpSettings(s));
        const QByteArray before = fileBytes();

        s.server = "after";
        s.authentication.password = "p\xc3\xa4sswort"; // non-ASCII: scrambling breaks the UTF-8
        int id = 0;
        try {
            file.setSmtpSettings(s);
        } catch (const json::type_error &e) {
            id = e.id;
        }
        QCOMPARE(id, 316);
        QCOMPARE(fileBytes(), before);
        QCOMPARE(QDir(m_folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{QStringLiteral("Bellwright.JSON")});
        QCOMPARE(file.smtpSettings().server, std::string("before"));
    }

    void fileIsReadableByNoOtherUser()
    {
        // It holds the SMTP password, only scrambled; the process umask must not decide.
        const auto userFlags = QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser;
        const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        QVERIFY(!QFile::exists(m_path));
        QVERIFY(ConfigurationFile().notifications().empty()); // writes the default file
        QCOMPARE(QFile::permissions(m_path) & ~userFlags, ownerOnly);
        QVERIFY(QFile::remove(m_path));
        QVERIFY(ConfigurationFile().setSmtpSettings(SmtpSettingsData{}));
        QCOMPARE(QFile::permissions(m_path) & ~userFlags, ownerOnly);
    }

    void replacementKeepsPermissionsUpTo0640_data()
    {
        using P = QFileDevice;
        QTest::addColumn<QFileDevice::Permissions>("before");
        QTest::addColumn<QFileDevice::Permissions>("after");
        const QFileDevice::Permissions ownerOnly = P::ReadOwner | P::WriteOwner;
        const QFileDevice::Permissions groupRead = ownerOnly | P::ReadGroup;
        // An administrator may open the file to a second account's group; writing must not take that away.
        QTest::newRow("0640 kept") << groupRead << groupRead;
        QTest::newRow("0600 kept") << ownerOnly << ownerOnly;
        QTest::newRow("0644 closed") << (groupRead | P::ReadOther) << ownerOnly;
        QTest::newRow("0664 closed") << (groupRead | P::WriteGroup | P::ReadOther) << ownerOnly;
        QTest::newRow("0660 closed") << (groupRead | P::WriteGroup) << ownerOnly;
        QTest::newRow("0700 closed") << (ownerOnly | P::ExeOwner) << ownerOnly;
        QTest::newRow("0602 closed") << (ownerOnly | P::WriteOther) << ownerOnly;
    }

    void replacementKeepsPermissionsUpTo0640()
    {
        QFETCH(QFileDevice::Permissions, before);
        QFETCH(QFileDevice::Permissions, after);
        const auto userFlags = QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser;
        QVERIFY(ConfigurationFile().notifications().empty());
        QVERIFY(QFile::setPermissions(m_path, before));
        QVERIFY(ConfigurationFile().setNotifications({NotificationData{}}));
        QCOMPARE(QFile::permissions(m_path) & ~userFlags, after);
        QCOMPARE(ConfigurationFile().notifications().size(), std::size_t(1));
    }

    void writeDocumentReportsAnUnwritableFile()
    {
        // A directory in the file's place cannot be replaced by a file, whoever runs the test.
        QVERIFY(QDir().mkpath(m_path));
        QVERIFY(!ConfigurationFile().writeDocument(ConfigurationFile::defaultConfiguration()));
        QVERIFY(QFileInfo(m_path).isDir());
        // Reading it gives empty text, which the parser refuses.
        QVERIFY_THROWS_EXCEPTION(json::parse_error, ConfigurationFile().notifications());
    }

    void fifoIsRefusedWithoutWaiting()
    {
        QVERIFY(QDir().mkpath(m_folder));
        QCOMPARE(::mkfifo(QFile::encodeName(m_path).constData(), 0600), 0);
        FifoWatchdog watchdog(m_path);
        QElapsedTimer clock;
        clock.start();
        // Refused like an unreadable file: empty text, which the parser rejects.
        QVERIFY_THROWS_EXCEPTION(json::parse_error, ConfigurationFile().notifications());
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(!watchdog.stop(), "the read waited for a writer");
        QVERIFY2(elapsed < 2000, qPrintable(QString::number(elapsed)));
        // Nothing was written in its place.
        struct stat status;
        QCOMPARE(::lstat(QFile::encodeName(m_path).constData(), &status), 0);
        QVERIFY(S_ISFIFO(status.st_mode));
    }

    void linkThatLeadsNowhereIsNeverReplaced_data()
    {
        QTest::addColumn<QString>("target");
        QTest::newRow("loop") << QStringLiteral("Bellwright.JSON");
        QTest::newRow("dangling") << QStringLiteral("elsewhere.JSON");
    }

    void linkThatLeadsNowhereIsNeverReplaced()
    {
        QFETCH(QString, target);
        QVERIFY(QDir().mkpath(m_folder));
        QCOMPARE(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(m_path).constData()), 0);
        QVERIFY_THROWS_EXCEPTION(json::parse_error, ConfigurationFile().notifications());
        const QFileInfo link(m_path);
        QVERIFY(link.isSymLink());
        QCOMPARE(QFile::symLinkTarget(m_path), QDir(m_folder).absoluteFilePath(target));
        // Neither the link nor where it points was given a default document.
        QCOMPARE(QDir(m_folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 QStringList{QStringLiteral("Bellwright.JSON")});
    }

    void recipientListDuplicatesCollapse()
    {
        QVERIFY(putFile(R"({"notifications":[{"alias":"a","day":1,"dayOfWeek":1,"month":1,"notificationType":1,)"
                        R"("periodicType":0,"recipientList":["{c}","{a}","{c}","{b}"],"reportType":0,)"
                        R"("time":"","triggerType":2,"triggerValue":0}],"recipients":[],"smtpSettings":{}})"));
        const NotificationList list = ConfigurationFile().notifications();
        QCOMPARE(list.size(), std::size_t(1));
        QCOMPARE(list[0].notificationType, NotificationKind::Triggered);
        QCOMPARE(std::vector<std::string>(list[0].recipientList.begin(), list[0].recipientList.end()),
                 (std::vector<std::string>{"{a}", "{b}", "{c}"}));
    }

    void nullAndMissingMembers()
    {
        QVERIFY(putFile(R"({"notifications": null, "recipients": null, "smtpSettings": {}})"));
        ConfigurationFile file;
        QVERIFY(file.notifications().empty());
        QVERIFY(file.recipients().empty());
        QCOMPARE(file.smtpSettings(), SmtpSettingsData{}); // every missing SMTP key keeps its default

        QVERIFY(putFile(R"({"recipients": []})"));
        const QByteArray before = fileBytes();
        for (const char *key : {"notifications", "smtpSettings"}) {
            const std::string what = errorOf<json::out_of_range>([&] {
                if (std::string(key) == "notifications")
                    file.notifications();
                else
                    file.smtpSettings();
            });
            QVERIFY2(what.find(std::string("key '") + key + "' not found") != std::string::npos, what.c_str());
        }
        QCOMPARE(fileBytes(), before); // reading never writes an existing file
    }

    void malformedTextIsRefused_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("line comment") << QByteArray("{\"notifications\": [] // none\n}");
        QTest::newRow("block comment") << QByteArray("{/* c */\"notifications\": []}");
        QTest::newRow("trailing comma in object") << QByteArray("{\"notifications\": [],}");
        QTest::newRow("trailing comma in array") << QByteArray("{\"notifications\": [null,]}");
        QTest::newRow("text after the value") << QByteArray("{\"notifications\": []} x");
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("invalid UTF-8") << QByteArray("{\"notifications\": [], \"x\": \"\xc3\x28\"}");
    }

    void malformedTextIsRefused()
    {
        QFETCH(QByteArray, text);
        QVERIFY(putFile(text));
        QVERIFY_THROWS_EXCEPTION(json::parse_error, ConfigurationFile().notifications());
        QCOMPARE(fileBytes(), text);
    }

    void byteOrderMarkIsAccepted()
    {
        QVERIFY(putFile("\xef\xbb\xbf{\"notifications\": []}"));
        QVERIFY(ConfigurationFile().notifications().empty());
    }

    void wrongTypesInTheFile_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("message");
        QTest::newRow("port as text") << QByteArray(R"({"smtpSettings": {"port": "465"}})")
                                      << "type must be number, but is string";
        QTest::newRow("enabled as number") << QByteArray(R"({"smtpSettings": {"authentication": {"enabled": 1}}})")
                                           << "type must be boolean, but is number";
        QTest::newRow("smtpSettings as array") << QByteArray(R"({"smtpSettings": []})")
                                               << "cannot use at() with array";
        QTest::newRow("document not an object") << QByteArray(R"([1, 2])") << "cannot use at() with array";
    }

    void wrongTypesInTheFile()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, message);
        QVERIFY(putFile(text));
        const std::string what = errorOf<json::type_error>([] { ConfigurationFile().smtpSettings(); });
        QVERIFY2(what.find(message.toStdString()) != std::string::npos, what.c_str());
    }

    void wrongTypesInLists()
    {
        QVERIFY(putFile(R"({"recipients": [{"uuid": 7, "name": "", "email": "", "textMessage": false}],)"
                        R"( "notifications": 5})"));
        ConfigurationFile file;
        std::string what = errorOf<json::type_error>([&] { file.recipients(); });
        QVERIFY2(what.find("type must be string, but is number") != std::string::npos, what.c_str());
        what = errorOf<json::type_error>([&] { file.notifications(); });
        QVERIFY2(what.find("cannot use at() with number") != std::string::npos, what.c_str());
    }

    void settersKeepEverythingElse()
    {
        QVERIFY(putFile(R"({"extra": {"kept": [1, "two", null]}, "magic": "SOMETHING", "notifications": [],)"
                        R"( "recipients": [], "smtpSettings": {"server": "s", "unknown": 1}, "version": 7})"));
        ConfigurationFile file;
        QVERIFY(file.notifications().empty()); // version and magic are not checked

        QVERIFY(file.setRecipients({RecipientData{"{a}", "A", "a@x", false}}));
        json doc = json::parse(fileBytes().toStdString());
        QCOMPARE(doc["version"], json(7));
        QCOMPARE(doc["magic"], json("SOMETHING"));
        QCOMPARE(doc["smtpSettings"]["unknown"], json(1)); // not the replaced member: left alone

        QVERIFY(file.setNotifications({NotificationData{}}));
        SmtpSettingsData s = file.smtpSettings();
        QCOMPARE(s.server, std::string("s"));
        QVERIFY(file.setSmtpSettings(s));

        doc = json::parse(fileBytes().toStdString());
        QCOMPARE(doc["extra"], json::parse(R"({"kept": [1, "two", null]})"));
        QCOMPARE(doc["version"], json(7));
        QCOMPARE(doc["magic"], json("SOMETHING"));
        QVERIFY(!doc["smtpSettings"].contains("unknown")); // lost with the replaced value
        QCOMPARE(file.recipients().size(), std::size_t(1));
        QCOMPARE(file.notifications().size(), std::size_t(1));
    }

    void setterOnMissingFileStartsFromTheDefault()
    {
        QVERIFY(ConfigurationFile().setRecipients({RecipientData{"{a}", "A", "a@x", true}}));
        json doc = json::parse(fileBytes().toStdString());
        json expected = json::parse(defaultDocument);
        expected["recipients"] = json::array({RecipientData{"{a}", "A", "a@x", true}});
        QCOMPARE(doc, expected);
    }
};

QTEST_GUILESS_MAIN(TestConfigurationFile)
#include "tst_configurationfile.moc"
