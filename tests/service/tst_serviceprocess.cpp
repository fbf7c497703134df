// The real programs under the stand-in service manager: Voltkeep installed, run as a service,
// asked for its version, refused pause and continue, stopped; the console start handed to the
// service manager; and everything as before when the stand-in is not on the library path.
#include "RadioPeer.h"
#include "FreePort.h"
#include "StandInFiles.h"
#include "StandInManager.h"
#include "TestPaths.h"
#include "VoltkeepProcess.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace NVL::Engineering::VK;

namespace {

const QString testServiceProgram = QStringLiteral(VK_TEST_SERVICE_BIN);

struct Outcome
{
    QByteArray out;
    QByteArray err;
    int exitCode = -1;
    bool finished = false;
};

class ProgramRunner
{
public:
    explicit ProgramRunner(const QString &program)
        : m_program(program)
        , m_environment(QProcessEnvironment::systemEnvironment())
    {
        m_environment.remove(QStringLiteral("VK_TEST_SERVICE_PLATFORM"));
        m_environment.remove(QStringLiteral("VK_TEST_SERVICE_NAME"));
        m_environment.remove(QStringLiteral(VK_STANDIN_SERVICE_VARIABLE));
    }

    QProcessEnvironment &environment() { return m_environment; }

    Outcome run(const QStringList &arguments) const
    {
        QProcess process;
        process.setProcessEnvironment(m_environment);
        process.start(m_program, arguments);
        Outcome outcome;
        outcome.finished = process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit;
        outcome.out = process.readAllStandardOutput();
        outcome.err = process.readAllStandardError();
        outcome.exitCode = process.exitCode();
        return outcome;
    }

    // The program as the service manager starts it: no argument, marked as the service's process.
    void startAsService(QProcess &process, const QString &name) const
    {
        QProcessEnvironment environment = m_environment;
        environment.insert(QStringLiteral(VK_STANDIN_SERVICE_VARIABLE), name);
        process.setProcessEnvironment(environment);
        process.start(m_program, QStringList());
    }

private:
    QString m_program;
    QProcessEnvironment m_environment;
};

// The event lines in the journal with the given message.
QList<QStringList> eventsWithMessage(const StandInManager &manager, const QString &message)
{
    QList<QStringList> result;
    const QList<QStringList> events = manager.journal(QStringLiteral("event"));
    const QStringList messages = manager.eventMessages();
    for (qsizetype i = 0; i < events.size(); ++i)
        if (messages.value(i) == message)
            result.append(events[i]);
    return result;
}

// Whether a process has ended: gone, or a zombie that nobody has reaped yet.
bool processEnded(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const qsizetype afterName = line.lastIndexOf(')');
    return afterName < 0 || line.mid(afterName + 2, 1) == "Z";
}

qsizetype indexOfLine(const QList<QStringList> &lines, const QStringList &prefix)
{
    for (qsizetype i = 0; i < lines.size(); ++i)
        if (lines[i].mid(0, prefix.size()) == prefix)
            return i;
    return -1;
}

} // namespace

class TestServiceProcess : public QObject
{
    Q_OBJECT

private slots:
    void voltkeepRunsUnderTheServiceManager();
    void installWithAccountTwiceThroughTheCommandLine();
    void consoleStartIsHandedToTheServiceManager();
    void failedDispatcherEndsWithMinusFour();
    void failedStartStopsWithTheServersCode();
    void withoutTheStandInNothingChanges();
};

void TestServiceProcess::voltkeepRunsUnderTheServiceManager()
{
    StandInManager manager;
    QTemporaryDir data;
    QVERIFY(manager.isValid() && data.isValid());
    const quint16 port = freeRadioPort();
    const QString dataFolder = data.path() + QStringLiteral("/Norvale/Voltkeep");
    QVERIFY(QDir().mkpath(dataFolder));
    {
        QFile settings(dataFolder + QStringLiteral("/vk.cfg"));
        QVERIFY(settings.open(QIODevice::WriteOnly));
        // No HTTP API: servers of tests running side by side would compete for its one default port.
        settings.write("[General]\nport=" + QByteArray::number(port) + "\n[http]\nlisten=\n");
    }
    const QString program = QFileInfo(TestPaths::voltkeepBinary()).canonicalFilePath();
    ProgramRunner voltkeep(program);
    voltkeep.environment().insert(QStringLiteral("NORVALE_COMMON_APPDATA"), data.path());

    Outcome outcome = voltkeep.run({QStringLiteral("-i")});
    QCOMPARE(outcome.out, "The service Voltkeep has been installed under: " + program.toLatin1() + "\n");
    QCOMPARE(outcome.exitCode, 0);
    const QJsonObject entry = manager.service(QStringLiteral("Voltkeep"));
    QCOMPARE(entry.value(QStringLiteral("path")).toString(), program);
    QCOMPARE(entry.value(QStringLiteral("type")).toInt(), 0x110);
    QCOMPARE(entry.value(QStringLiteral("start")).toInt(), 3);
    QCOMPARE(entry.value(QStringLiteral("description")).toString(),
             QStringLiteral("Voltkeep 1.30.5 Build 22 (Maintains Battery Data)"));

    QProcess service;
    voltkeep.startAsService(service, QStringLiteral("Voltkeep"));
    QVERIFY(service.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(manager.publishedStates().contains(4u), 20000);

    // Serving: the version request is answered (and the newer peer version logged).
    RadioPeer peer(QStringLiteral("127.0.0.1"), port, 3000);
    QVERIFY(peer.connectToServer());
    QCOMPARE(peer.version(2), std::optional<quint8>(1));
    outcome = voltkeep.run({QStringLiteral("-v")});
    QVERIFY(outcome.out.endsWith("is installed and running\n\n"));

    // Pause, continue and shutdown are not among the accepted controls; an interrogation is.
    QCOMPARE(StandInManager::deliverControl(QStringLiteral("Voltkeep"), 2), 1052u);
    QCOMPARE(StandInManager::deliverControl(QStringLiteral("Voltkeep"), 3), 1052u);
    QCOMPARE(StandInManager::deliverControl(QStringLiteral("Voltkeep"), 5), 1052u);
    QCOMPARE(StandInManager::deliverControl(QStringLiteral("Voltkeep"), 4), 0u);
    outcome = voltkeep.run({QStringLiteral("-p")});
    QCOMPARE(outcome.exitCode, 0);

    // Stopped through the command line: accepted, and stopped within the polls.
    outcome = voltkeep.run({QStringLiteral("-t")});
    QCOMPARE(outcome.err, QByteArray());
    QCOMPARE(outcome.exitCode, 0);
    QVERIFY(service.waitForFinished(10000));
    QCOMPARE(service.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.exitCode(), 0);
    QCOMPARE(manager.service(QStringLiteral("Voltkeep")).value(QStringLiteral("state")).toInt(), 1);

    // Published: start pending, running, stop pending, stopped; only stop accepted; the exit code last.
    const QList<QStringList> statuses = manager.journal(QStringLiteral("status"));
    QCOMPARE(withoutRepeats(manager.publishedStates()), (QList<quint32>{2, 4, 3, 1}));
    for (const QStringList &status : statuses) {
        QCOMPARE(status.value(1), QStringLiteral("Voltkeep"));
        QCOMPARE(status.value(2), QStringLiteral("272"));
        QCOMPARE(status.value(4), QStringLiteral("1"));
        QCOMPARE(status.mid(6), (QStringList{QStringLiteral("0"), QStringLiteral("0"), QStringLiteral("0")}));
    }
    QCOMPARE(statuses.last().value(3), QStringLiteral("1"));
    QCOMPARE(statuses.last().value(5), QStringLiteral("0"));

    // The event log: start ran once, on the main thread; types mapped; the server's identifier.
    const QString banner =
        QStringLiteral("Voltkeep 1.30.5.22\nAccepting connections on port: %1 (TCP + UDP)").arg(port);
    const QList<QStringList> bannerEvents = eventsWithMessage(manager, banner);
    QCOMPARE(bannerEvents.size(), 1);
    const QStringList successOnMain{QStringLiteral("Voltkeep"), QStringLiteral("0"), QStringLiteral("0"),
                                    QStringLiteral("c0000001"), QStringLiteral("1"), QString(), QStringLiteral("1")};
    QCOMPARE(bannerEvents[0].mid(1, 7), successOnMain);
    const QList<QStringList> newer =
        eventsWithMessage(manager, QStringLiteral("Newer protocol version (2) detected. Do you need to upgrade?"));
    QCOMPARE(newer.size(), 1);
    QCOMPARE(newer[0].value(2), QStringLiteral("4"));
    QCOMPARE(newer[0].value(4), QStringLiteral("c0000001"));
    const QList<QStringList> stopped = eventsWithMessage(manager, QStringLiteral("Voltkeep Stopped"));
    QCOMPARE(stopped.size(), 1);
    QCOMPARE(stopped[0].mid(1, 7), successOnMain);
    for (const QStringList &event : manager.journal(QStringLiteral("event")))
        QVERIFY2(event.value(7) == QStringLiteral("1"), qPrintable(event.join(QLatin1Char('|'))));

    // The stop request was answered only after stop had run; pause never reached the service.
    const QList<QStringList> journal = manager.journal();
    const qsizetype begin = indexOfLine(journal, {QStringLiteral("control-begin"), QStringLiteral("Voltkeep"),
                                                  QStringLiteral("1")});
    const qsizetype stopPending = indexOfLine(journal, {QStringLiteral("status"), QStringLiteral("Voltkeep"),
                                                        QStringLiteral("272"), QStringLiteral("3")});
    const qsizetype stopLogged = journal.indexOf(stopped[0]);
    const qsizetype end = indexOfLine(journal, {QStringLiteral("control-end"), QStringLiteral("Voltkeep"),
                                                QStringLiteral("1")});
    QVERIFY(begin >= 0 && stopPending > begin && stopLogged > stopPending && end > stopLogged);
    QCOMPARE(indexOfLine(journal, {QStringLiteral("control-begin"), QStringLiteral("Voltkeep"), QStringLiteral("2")}),
             qsizetype(-1));
    QVERIFY(indexOfLine(journal, {QStringLiteral("control-end"), QStringLiteral("Voltkeep"), QStringLiteral("4")}) > 0);

    outcome = voltkeep.run({QStringLiteral("-u")});
    QCOMPARE(outcome.out, QByteArray("The service Voltkeep has been uninstalled.\n"));
    QVERIFY(manager.service(QStringLiteral("Voltkeep")).isEmpty());
}

void TestServiceProcess::installWithAccountTwiceThroughTheCommandLine()
{
    StandInManager manager;
    QTemporaryDir data;
    ProgramRunner voltkeep(TestPaths::voltkeepBinary());
    voltkeep.environment().insert(QStringLiteral("NORVALE_COMMON_APPDATA"), data.path());

    Outcome outcome = voltkeep.run({QStringLiteral("-i"), QStringLiteral("svcuser"), QStringLiteral("secret")});
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(outcome.err, QByteArray());
    QJsonObject entry = manager.service(QStringLiteral("Voltkeep"));
    QCOMPARE(entry.value(QStringLiteral("account")).toString(), QStringLiteral(".\\svcuser"));
    QCOMPARE(entry.value(QStringLiteral("password")).toString(), QStringLiteral("secret"));
    QCOMPARE(entry.value(QStringLiteral("type")).toInt(), 0x10);

    outcome = voltkeep.run({QStringLiteral("-install"), QStringLiteral("other")});
    QCOMPARE(outcome.out, QByteArray());
    QCOMPARE(outcome.err, QByteArray("The service Voltkeep is already installed\n"));
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(manager.service(QStringLiteral("Voltkeep")), entry);

    // Stopping the stopped service: the service manager refuses, two warnings, exit status 255.
    outcome = voltkeep.run({QStringLiteral("-t")});
    QCOMPARE(outcome.exitCode, 255);
    const QList<QByteArray> lines = outcome.err.split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines[0].startsWith("stopping ["), outcome.err.constData());
    QVERIFY2(lines[1].startsWith("The service could not be stopped. ["), outcome.err.constData());
    // A command for a stopped service is not sent.
    outcome = voltkeep.run({QStringLiteral("-c"), QStringLiteral("5")});
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(manager.journal(QStringLiteral("control")).size(), 1);

    // A user without rights cannot remove it.
    QJsonObject root = manager.registry();
    root.insert(QStringLiteral("admin"), false);
    manager.setRegistry(root);
    outcome = voltkeep.run({QStringLiteral("-u")});
    QCOMPARE(outcome.err, QByteArray("The service Voltkeep could not be uninstalled\n"));
    QCOMPARE(outcome.exitCode, 255);
}

void TestServiceProcess::consoleStartIsHandedToTheServiceManager()
{
    StandInManager manager;
    const QString program = QFileInfo(testServiceProgram).canonicalFilePath();
    ProgramRunner testService(program);
    QCOMPARE(testService.run({QStringLiteral("-i")}).exitCode, 0);

    // Started from a console: the service manager is asked to start the service with the
    // arguments after the first, and runs the program as the service.
    const Outcome outcome = testService.run({QStringLiteral("a"), QStringLiteral("b c")});
    QCOMPARE(outcome.err, QByteArray());
    QCOMPARE(outcome.exitCode, 0);
    const QStringList expectedArguments{QStringLiteral("Voltkeep"), QStringLiteral("a"), QStringLiteral("b c")};
    QCOMPARE(manager.journal(QStringLiteral("start-request")).value(0).mid(1), expectedArguments);

    // The test service ends its own loop with 7: that is the exit code of the last status.
    QTRY_VERIFY_WITH_TIMEOUT(manager.publishedStates().contains(1u), 20000);
    QCOMPARE(manager.journal(QStringLiteral("service-main")).value(0).mid(1), expectedArguments);
    QCOMPARE(withoutRepeats(manager.publishedStates()), (QList<quint32>{2, 4, 1}));
    QCOMPARE(manager.journal(QStringLiteral("status")).last().value(5), QStringLiteral("7"));
    // The application was made from the service main function's arguments.
    QCOMPARE(manager.eventMessages(),
             (QStringList{QStringLiteral("test service started"), QStringLiteral("event loop running: yes"),
                          QStringLiteral("application arguments: Voltkeep a b c")}));
    for (const QStringList &event : manager.journal(QStringLiteral("event"))) {
        QCOMPARE(event.value(2), QStringLiteral("4"));
        QCOMPARE(event.value(7), QStringLiteral("1"));
    }
    // The service process printed nothing (no warning, no sanitizer report) once it has ended.
    const qint64 pid = manager.service(QStringLiteral("Voltkeep")).value(QStringLiteral("pid")).toInteger();
    QVERIFY(pid > 0);
    QTRY_VERIFY_WITH_TIMEOUT(processEnded(pid), 20000);
    QCOMPARE(manager.serviceOutput(QStringLiteral("Voltkeep")), QByteArray());
}

void TestServiceProcess::failedDispatcherEndsWithMinusFour()
{
    StandInManager manager;
    manager.setRegistry(QJsonObject{{QStringLiteral("dispatcherError"), 1056}});
    ProgramRunner voltkeep(TestPaths::voltkeepBinary());
    QTemporaryDir data;
    voltkeep.environment().insert(QStringLiteral("NORVALE_COMMON_APPDATA"), data.path());
    QProcess service;
    voltkeep.startAsService(service, QStringLiteral("Voltkeep"));
    QVERIFY(service.waitForFinished(30000));
    QCOMPARE(service.exitCode(), 252);
    QCOMPARE(service.readAllStandardError(), QByteArray("The service Voltkeep could not start\nUse -e to run it in the foreground, -h for every option.\n"));
    QCOMPARE(manager.eventMessages(),
             QStringList{QStringLiteral("The Service failed to start [%1]").arg(qt_error_string(1056))});
    QCOMPARE(manager.journal(QStringLiteral("event")).value(0).mid(2, 3),
             (QStringList{QStringLiteral("1"), QStringLiteral("0"), QStringLiteral("0")}));
}

void TestServiceProcess::failedStartStopsWithTheServersCode()
{
    StandInManager manager;
    QTemporaryDir data;
    const quint16 port = freeRadioPort();
    QTcpServer holder; // someone else has the radio port
    QVERIFY(holder.listen(QHostAddress::LocalHost, port));
    VoltkeepProcess(data.path()).setPort(port);
    ProgramRunner voltkeep(QFileInfo(TestPaths::voltkeepBinary()).canonicalFilePath());
    voltkeep.environment().insert(QStringLiteral("NORVALE_COMMON_APPDATA"), data.path());
    QCOMPARE(voltkeep.run({QStringLiteral("-i")}).exitCode, 0);

    QProcess service;
    voltkeep.startAsService(service, QStringLiteral("Voltkeep"));
    QVERIFY(service.waitForFinished(30000));
    QCOMPARE(service.exitCode(), 1);
    // Never running: straight to stopped, with the server's own code as the service-specific one.
    QCOMPARE(withoutRepeats(manager.publishedStates()), (QList<quint32>{2, 1}));
    const QStringList last = manager.journal(QStringLiteral("status")).last();
    QCOMPARE(last.value(5), QStringLiteral("1066"));
    QCOMPARE(last.value(6), QStringLiteral("1"));
}

void TestServiceProcess::withoutTheStandInNothingChanges()
{
    StandInManager manager;
    QTemporaryDir data;
    ProgramRunner voltkeep(TestPaths::voltkeepBinary());
    voltkeep.environment().remove(QStringLiteral("LD_LIBRARY_PATH"));
    voltkeep.environment().insert(QStringLiteral("NORVALE_COMMON_APPDATA"), data.path());

    Outcome outcome = voltkeep.run({});
    QCOMPARE(outcome.err, QByteArray("The service Voltkeep could not start\nUse -e to run it in the foreground, -h for every option.\n"));
    QCOMPARE(outcome.exitCode, 252);
    outcome = voltkeep.run({QStringLiteral("-i")});
    QCOMPARE(outcome.err, QByteArray("The service Voltkeep could not be installed\n"));
    QCOMPARE(outcome.exitCode, 255);
    outcome = voltkeep.run({QStringLiteral("-v")});
    QVERIFY(outcome.out.endsWith("is not installed and not running\n\n"));
    // Even as the service manager's process: there is no dispatcher to connect to.
    QProcess service;
    QProcessEnvironment environment = voltkeep.environment();
    environment.insert(QStringLiteral(VK_STANDIN_SERVICE_VARIABLE), QStringLiteral("Voltkeep"));
    service.setProcessEnvironment(environment);
    service.start(TestPaths::voltkeepBinary(), QStringList());
    QVERIFY(service.waitForFinished(30000));
    QCOMPARE(service.exitCode(), 252);
    QVERIFY(manager.journal().isEmpty());
    QVERIFY(manager.registry().isEmpty());
}

QTEST_GUILESS_MAIN(TestServiceProcess)
#include "tst_serviceprocess.moc"
