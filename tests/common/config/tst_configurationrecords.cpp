#include "ConfigurationData.h"
#include "JsonFields.h"
#include "ScrambleText.h"

#include <QtTest>

#include <nlohmann/json.hpp>

#include <string>

using namespace NVL::Engineering::VK;

using nlohmann::json;

namespace {

NotificationData sampleNotification()
{
    NotificationData n;
    n.alias = "Weekly summary";
    n.notificationType = NotificationKind::Periodic;
    n.periodicType = PeriodicType::Weekly;
    n.time = "07:30:00";
    n.dayOfWeek = 5;
    n.day = 31;
    n.month = 12;
    n.reportType = ReportKind::SummaryReport;
    n.triggerType = 2;
    n.triggerValue = 1;
    n.recipientList = {"{b0000000-0000-0000-0000-000000000000}", "{a0000000-0000-0000-0000-000000000000}"};
    return n;
}

json sampleNotificationJson() { return json(sampleNotification()); }

// Runs the conversion and returns the library's message, failing the test when nothing is thrown.
template <typename Record, typename Exception>
std::string conversionError(const json &value)
{
    try {
        (void)value.get<Record>();
    } catch (const Exception &e) {
        return e.what();
    }
    return "<no exception>";
}

} // namespace

class TestConfigurationRecords : public QObject
{
    Q_OBJECT

private slots:
    void scrambleIsPerByteXorWithTheKey()
    {
        QCOMPARE(scrambleKey.size(), std::size_t(16));
        QCOMPARE(std::string(scrambleKey), std::string("Qw8Ht2ZkPn5Rdx7J"));
        QCOMPARE(scrambleText(""), std::string());

        const std::string clear = "The quick brown fox jumps"; // longer than the key: wraps round
        const std::string scrambled = scrambleText(clear);
        QCOMPARE(scrambled.size(), clear.size());
        for (std::size_t i = 0; i < clear.size(); ++i)
            QCOMPARE(scrambled[i], char(clear[i] ^ scrambleKey[i % 16]));
        QCOMPARE(scrambleText(scrambled), clear);

        // A character equal to the key character at its position becomes NUL, and the length stays.
        const std::string keyed = scrambleText("Qw8");
        QCOMPARE(keyed, std::string(3, '\0'));
    }

    void scrambledNeverEqualsClearText()
    {
        // Every key byte is non-zero, so every byte changes.
        for (const std::string clear : {"a", "abc", "password", "Qw8Ht2ZkPn5Rdx7JQw8H", "\x7f\x01 "}) {
            const std::string scrambled = scrambleText(clear);
            for (std::size_t i = 0; i < clear.size(); ++i)
                QVERIFY(scrambled[i] != clear[i]);
        }
    }

    void notificationWritesExactlyItsKeys()
    {
        const json j = sampleNotificationJson();
        QCOMPARE(j.dump(),
                 std::string(R"({"alias":"Weekly summary","day":31,"dayOfWeek":5,"month":12,"notificationType":0,)"
                             R"("periodicType":1,"recipientList":["{a0000000-0000-0000-0000-000000000000}",)"
                             R"("{b0000000-0000-0000-0000-000000000000}"],"reportType":1,"time":"07:30:00",)"
                             R"("triggerType":2,"triggerValue":1})"));
        QCOMPARE(j.get<NotificationData>(), sampleNotification());
    }

    void recipientListCollapsesDuplicatesInAscendingOrder()
    {
        json j = sampleNotificationJson();
        j["recipientList"] = {"{c}", "{a}", "{c}", "{b}", "{a}"};
        const auto n = j.get<NotificationData>();
        QCOMPARE(n.recipientList, (std::set<std::string>{"{a}", "{b}", "{c}"}));
        QCOMPARE(json(n)["recipientList"].dump(), std::string(R"(["{a}","{b}","{c}"])"));
    }

    void recipientRoundTrip()
    {
        RecipientData r{"{0a1b2c3d-0000-4000-8000-00000000000f}", "Jürgen Groß", "j@example.org", true};
        const json j = r;
        QCOMPARE(j.dump(), std::string(R"({"email":"j@example.org","name":"Jürgen Groß","textMessage":true,)"
                                       R"("uuid":"{0a1b2c3d-0000-4000-8000-00000000000f}"})"));
        QCOMPARE(j.get<RecipientData>(), r);
    }

    void smtpSettingsScrambleOnlyInJson()
    {
        SmtpSettingsData s;
        s.server = "mail.example.org";
        s.port = 587;
        s.security = SecurityType::StartTls;
        s.authentication = {false, "user", "abc"};
        s.sender = {"Voltkeep", "vk@example.org"};
        const json j = s;
        QCOMPARE(s.authentication.password, std::string("abc")); // record keeps the clear text
        QCOMPARE(j.dump(), std::string("{\"authentication\":{\"enabled\":false,\"password\":\"0\\u0015[\","
                                       "\"username\":\"user\"},\"port\":587,\"security\":2,"
                                       "\"sender\":{\"email\":\"vk@example.org\",\"name\":\"Voltkeep\"},"
                                       "\"server\":\"mail.example.org\"}"));
        QCOMPARE(j.get<SmtpSettingsData>(), s);
    }

    // A key missing inside the SMTP settings keeps the field's default.
    void smtpSettingsMissingKeysKeepDefaults()
    {
        const SmtpSettingsData defaults;
        QCOMPARE(json::object().get<SmtpSettingsData>(), defaults);

        const auto partial = json::parse(R"({"server":"smtp.example","authentication":{"username":"u"},)"
                                         R"("sender":{"email":"e@example"}})").get<SmtpSettingsData>();
        QCOMPARE(partial.server, std::string("smtp.example"));
        QCOMPARE(partial.port, 465);
        QCOMPARE(partial.security, SecurityType::ImplicitTls);
        QCOMPARE(partial.authentication.enabled, true);
        QCOMPARE(partial.authentication.username, std::string("u"));
        QCOMPARE(partial.authentication.password, std::string());
        QCOMPARE(partial.sender.name, std::string());
        QCOMPARE(partial.sender.email, std::string("e@example"));

        // The target's earlier content never leaks into the result.
        SmtpSettingsData target;
        target.server = "stale";
        target.authentication.password = "stale";
        from_json(json::object(), target);
        QCOMPARE(target, defaults);
    }

    void wrongTypesGiveTheLibraryMessage_data()
    {
        QTest::addColumn<QString>("record");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("message");
        QTest::newRow("port string") << "smtp" << "port" << R"("465")" << "type must be number, but is string";
        QTest::newRow("port boolean") << "smtp" << "port" << "true" << "type must be number, but is boolean";
        QTest::newRow("security null") << "smtp" << "security" << "null" << "type must be number, but is null";
        QTest::newRow("server number") << "smtp" << "server" << "5" << "type must be string, but is number";
        QTest::newRow("authentication array") << "smtp" << "authentication" << "[]" << "cannot use at() with array";
        QTest::newRow("sender string") << "smtp" << "sender" << R"("x")" << "cannot use at() with string";
        QTest::newRow("enabled number") << "auth" << "enabled" << "1" << "type must be boolean, but is number";
        QTest::newRow("password number") << "auth" << "password" << "0" << "type must be string, but is number";
        QTest::newRow("uuid number") << "recipient" << "uuid" << "5" << "type must be string, but is number";
        QTest::newRow("textMessage string") << "recipient" << "textMessage" << R"("yes")"
                                            << "type must be boolean, but is string";
        QTest::newRow("alias null") << "notification" << "alias" << "null" << "type must be string, but is null";
        QTest::newRow("day string") << "notification" << "day" << R"("1")" << "type must be number, but is string";
        QTest::newRow("periodicType object") << "notification" << "periodicType" << "{}"
                                             << "type must be number, but is object";
        QTest::newRow("recipientList string") << "notification" << "recipientList" << R"("{a}")"
                                              << "type must be array, but is string";
        QTest::newRow("recipientList of numbers") << "notification" << "recipientList" << "[1]"
                                                  << "type must be string, but is number";
    }

    void wrongTypesGiveTheLibraryMessage()
    {
        QFETCH(QString, record);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QString, message);
        const json wrong = json::parse(value.toStdString());
        std::string what;
        if (record == "smtp") {
            json j = SmtpSettingsData{};
            j[key.toStdString()] = wrong;
            what = conversionError<SmtpSettingsData, json::type_error>(j);
        } else if (record == "auth") {
            json j = SmtpSettingsData{};
            j["authentication"][key.toStdString()] = wrong;
            what = conversionError<SmtpSettingsData, json::type_error>(j);
        } else if (record == "recipient") {
            json j = RecipientData{};
            j[key.toStdString()] = wrong;
            what = conversionError<RecipientData, json::type_error>(j);
        } else {
            json j = sampleNotificationJson();
            j[key.toStdString()] = wrong;
            what = conversionError<NotificationData, json::type_error>(j);
        }
        QVERIFY2(what.find(message.toStdString()) != std::string::npos, what.c_str());
        QVERIFY2(what.rfind("[json.exception.type_error.", 0) == 0, what.c_str());
    }

    void missingKeysInListEntriesAreErrors()
    {
        for (const char *key : {"alias", "notificationType", "periodicType", "time", "dayOfWeek", "day", "month",
                                "reportType", "triggerType", "triggerValue", "recipientList"}) {
            json j = sampleNotificationJson();
            j.erase(key);
            const std::string what = conversionError<NotificationData, json::out_of_range>(j);
            QVERIFY2(what.find(std::string("key '") + key + "' not found") != std::string::npos, what.c_str());
        }
        for (const char *key : {"uuid", "name", "email", "textMessage"}) {
            json j = RecipientData{};
            j.erase(key);
            const std::string what = conversionError<RecipientData, json::out_of_range>(j);
            QVERIFY2(what.find(std::string("key '") + key + "' not found") != std::string::npos, what.c_str());
        }
        const std::string what = conversionError<RecipientData, json::type_error>(json(5));
        QVERIFY2(what.find("cannot use at() with number") != std::string::npos, what.c_str());
    }

    void numbersOutsideThirtyTwoBitsAreRefused()
    {
        QCOMPARE(jsonToInt(json::parse("2147483647")), 2147483647);
        QCOMPARE(jsonToInt(json::parse("-2147483648")), std::int32_t(-2147483647 - 1));
        QCOMPARE(jsonToInt(json::parse("25.9")), 25); // truncated, as the library does
        for (const char *text : {"2147483648", "-2147483649", "4294967761", "18446744073709551615", "1e10",
                                 "-1e300"}) {
            bool refused = false;
            try {
                (void)jsonToInt(json::parse(text));
            } catch (const json::out_of_range &e) {
                refused = e.id == 406;
            }
            QVERIFY2(refused, text);
        }
    }

    void listsFollowTheLibraryIteration()
    {
        const json a = RecipientData{"{a}", "A", "a@x", false};
        const json b = RecipientData{"{b}", "B", "b@x", true};
        const auto fromArray = jsonToList<RecipientData>(json::array({b, a}));
        QCOMPARE(fromArray.size(), std::size_t(2));
        QCOMPARE(fromArray[0].uuid, std::string("{b}")); // list order kept
        QCOMPARE(fromArray[1].uuid, std::string("{a}"));

        const auto fromObject = jsonToList<RecipientData>(json{{"second", b}, {"first", a}});
        QCOMPARE(fromObject.size(), std::size_t(2));
        QCOMPARE(fromObject[0].uuid, std::string("{a}")); // member values in key order
        QCOMPARE(fromObject[1].uuid, std::string("{b}"));

        QVERIFY(jsonToList<RecipientData>(json(nullptr)).empty());
        QVERIFY(jsonToList<RecipientData>(json::array()).empty());
        QVERIFY_THROWS_EXCEPTION(json::type_error, jsonToList<RecipientData>(json("single")));
    }

    void configurationRoundTrip()
    {
        ConfigurationData c;
        c.version = 3;
        c.magic = "other";
        c.smtpSettings.server = "s";
        c.smtpSettings.authentication.password = "pw";
        c.recipients = {RecipientData{"{a}", "A", "a@x", false}};
        c.notifications = {sampleNotification(), NotificationData{}};
        const json j = c;
        QCOMPARE(j.size(), std::size_t(5));
        QCOMPARE(j.get<ConfigurationData>(), c);
    }
};

QTEST_GUILESS_MAIN(TestConfigurationRecords)
#include "tst_configurationrecords.moc"
