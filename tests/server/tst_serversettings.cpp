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
        QTemporaryDir dir;
        QFile cfg(dir.filePath(QStringLiteral("vk.cfg")));
        QVERIFY(cfg.open(QIODevice::WriteOnly));
        cfg.write(file.toUtf8() + '\n');
        cfg.close();

        RecordingEventSink sink;
        QCOMPARE(field(ServerSettings::read(cfg.fileName())), expected);
        QCOMPARE(sink.count(LogType::Warning, QStringLiteral("vk.cfg:")), warning.isEmpty() ? 0 : 1);
        if (!warning.isEmpty())
            QCOMPARE(sink.entries.value(0).message, warning);
    }
};

QTEST_GUILESS_MAIN(ServerSettingsTest)
#include "tst_serversettings.moc"
