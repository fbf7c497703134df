#include "RecordingEventSink.h"
#include "ServerSettings.h"

#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace NVL::Engineering::VK;

// The reader's defaults and bounds: a value inside its bounds is taken, one outside them is named in a
// Warning and the default used, a missing one is the default without a word.
class ServerSettingsTest : public QObject
{
    Q_OBJECT

    using Field = std::function<qint64(const ServerSettings &)>;

private slots:
    void readsWithinBounds_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<Field>("field");
        QTest::addColumn<qint64>("expected");
        QTest::addColumn<QString>("warning"); // empty: none

        const Field idleMs = [](const ServerSettings &s) { return qint64(s.connections.idleMs); };
        const Field unsent = [](const ServerSettings &s) { return s.connections.unsentBytes; };
        const Field years = [](const ServerSettings &s) { return qint64(s.history.years); };
        const Field enabled = [](const ServerSettings &s) { return qint64(s.history.enabled); };
        const Field lineBytes = [](const ServerSettings &s) { return qint64(s.http.limits.requestLineBytes); };
        const Field retryFor = [](const ServerSettings &s) { return qint64(s.mail.retryForSeconds); };
        const Field session = [](const ServerSettings &s) { return qint64(s.mail.sessionSeconds); };
        const Field port = [](const ServerSettings &s) { return qint64(s.port); };

        QTest::newRow("idle default") << "" << idleMs << qint64(300000) << "";
        QTest::newRow("idle in seconds") << "[connections]\nidleSeconds=7" << idleMs << qint64(7000) << "";
        QTest::newRow("unsent in MiB") << "[connections]\nunsentMiB=2" << unsent << qint64(2 << 20) << "";
        QTest::newRow("years above") << "[history]\nyears=101" << years << qint64(5)
                                     << "vk.cfg: history/years=101 is not a whole number from 1 to 100; 5 is used";
        QTest::newRow("history off") << "[history]\nenabled=off" << enabled << qint64(0) << "";
        QTest::newRow("history typo") << "[history]\nenabled=maybe" << enabled << qint64(1)
                                      << "vk.cfg: history/enabled=maybe is neither true nor false; true is used";
        QTest::newRow("line below") << "[http]\nrequestLineBytes=255" << lineBytes << qint64(8192)
                                    << "vk.cfg: http/requestLineBytes=255 is not a whole number from 256 to 1048576; "
                                       "8192 is used";
        QTest::newRow("retries off") << "[mail]\nretryForSeconds=0" << retryFor << qint64(0) << "";
        QTest::newRow("session word") << "[mail]\nsessionSeconds=ten" << session << qint64(60)
                                      << "vk.cfg: mail/sessionSeconds=ten is not a whole number from 1 to 600; 60 is used";
        QTest::newRow("port") << "port=4100" << port << qint64(4100) << "";
    }

    void readsWithinBounds()
    {
        QFETCH(QString, file);
        QFETCH(Field, field);
        QFETCH(qint64, expected);
        QFETCH(QString, warning);
        RecordingEventSink sink;
        QCOMPARE(field(readFile(file)), expected);
        checkWarning(sink, warning);
    }

    // [types]: a name where one is set, the code where none is, each entry the server cannot take
    // left out with one Warning.
    void namesTypes_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<uint>("code");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("warning"); // empty: none

        QString thousandAndOne = QStringLiteral("[types]\n");
        for (int code = 1; code <= 1001; ++code)
            thousandAndOne += QStringLiteral("0x%1=Type %1\n").arg(code, 0, 16);
        QTest::newRow("named") << "[types]\n0x00c10100=Li-ion 2300 mAh" << 0x00c10100u << "Li-ion 2300 mAh" << "";
        QTest::newRow("none named") << "" << 0x00c10100u << "0x00c10100" << "";
        QTest::newRow("short upper-case code") << "[types]\n0XC10100=Li-ion" << 0x00c10100u << "Li-ion" << "";
        QTest::newRow("comma in quotes") << "[types]\n0x7=\"NiMH, rugged\"" << 7u << "NiMH, rugged" << "";
        QTest::newRow("key no code") << "[types]\nli-ion=Li-ion\n0x7=NiMH" << 7u << "NiMH"
                                     << "vk.cfg: [types] li-ion is no type code (0x and up to 8 hex digits, such as "
                                        "0x00c10100); left out";
        QTest::newRow("name too long") << "[types]\n0x7=" + QString(65, u'n') << 7u << "0x00000007"
                                       << "vk.cfg: [types] 0x7: the name is longer than 64 characters; left out";
        QTest::newRow("not printable") << "[types]\n0x7=a\tb" << 7u << "0x00000007"
                                       << "vk.cfg: [types] 0x7: the name holds a character that is not printable "
                                          "(U+0009); left out";
        QTest::newRow("past the bound") << thousandAndOne << 1001u << "0x000003e9"
                                        << "vk.cfg: [types] names 1001 types, more than 1000; those past the 1000 "
                                           "lowest codes are left out";
    }

    void namesTypes()
    {
        QFETCH(QString, file);
        QFETCH(uint, code);
        QFETCH(QString, shown);
        QFETCH(QString, warning);
        RecordingEventSink sink;
        QCOMPARE(readFile(file).types.nameOf(code), shown);
        checkWarning(sink, warning);
    }

    // [webhooks]: a receiver the server can post to safely is taken, any other left out with one Warning.
    void readsWebhooks_data()
    {
        QTest::addColumn<QString>("endpoint"); // the keys of receiver t
        QTest::addColumn<QStringList>("events"); // empty: left out
        QTest::addColumn<QString>("warning");

        const QString secret = QStringLiteral("t.secret=s\n");
        QTest::newRow("https, all") << "t.url=https://tickets.test/v\nt.events=all\n" + secret
                                    << WebhookSettings::eventKinds() << "";
        QTest::newRow("http to loopback, a comma list")
            << "t.url=http://127.0.0.1:8080/v\nt.events=battery.class,mail.failed\n" + secret
            << QStringList{"battery.class", "mail.failed"} << "";
        QTest::newRow("http elsewhere") << "t.url=http://tickets.test/v\nt.events=all\n" + secret << QStringList()
                                        << "vk.cfg: [webhooks] t: url=http://tickets.test/v is http:// to another machine; "
                                           "use https:// (http:// is for a loopback address only); left out";
        QTest::newRow("no secret") << "t.url=https://tickets.test/v\nt.events=all\n" << QStringList()
                                   << "vk.cfg: [webhooks] t: no secret, so the receiver could not tell its posts from "
                                      "forged ones; left out";
        QTest::newRow("unknown event") << "t.url=https://tickets.test/v\nt.events=battery.now battery.gone\n" + secret
                                       << QStringList{"battery.now"}
                                       << "vk.cfg: [webhooks] t: events battery.gone unknown and ignored (known: all "
                                          "battery.due battery.now battery.class battery.silent site.flagged mail.failed)";
    }

    void readsWebhooks()
    {
        QFETCH(QString, endpoint);
        QFETCH(QStringList, events);
        QFETCH(QString, warning);
        RecordingEventSink sink;
        const WebhookSettings read = readFile("[webhooks]\n" + endpoint).webhooks;
        QCOMPARE(read.endpoints.isEmpty() ? QStringList() : read.endpoints.first().events, events);
        checkWarning(sink, warning);
    }

private:
    ServerSettings readFile(const QString &text)
    {
        QFile cfg(m_dir.filePath(QStringLiteral("vk.cfg")));
        if (!cfg.open(QIODevice::WriteOnly | QIODevice::Truncate) || cfg.write(text.toUtf8() + '\n') < 0)
            qFatal("vk.cfg cannot be written");
        cfg.close();
        return ServerSettings::read(cfg.fileName());
    }

    static void checkWarning(const RecordingEventSink &sink, const QString &warning)
    {
        QCOMPARE(sink.count(LogType::Warning, QStringLiteral("vk.cfg:")), warning.isEmpty() ? 0 : 1);
        if (!warning.isEmpty())
            QCOMPARE(sink.entries.value(0).message, warning);
    }

    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(ServerSettingsTest)
#include "tst_serversettings.moc"
