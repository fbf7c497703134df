#include "EventSink.h"
#include "Service.h"
#include "ServiceController.h"
#include "ServicePlatform.h"
#include "WarningCapture.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <vector>

using namespace NVL::Engineering::VK;

namespace {

const QString serviceProgram = QStringLiteral(VK_TEST_SERVICE_BIN);

struct Outcome
{
    QByteArray out;
    QByteArray err;
    int exitCode = -1;
    bool finished = false;
};

Outcome runService(const QStringList &arguments, const QMap<QString, QString> &environment = {})
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("VK_TEST_SERVICE_NAME"));
    env.remove(QStringLiteral("VK_TEST_SERVICE_PLATFORM"));
    for (auto it = environment.begin(); it != environment.end(); ++it)
        env.insert(it.key(), it.value());
    process.setProcessEnvironment(env);
    process.start(serviceProgram, arguments);
    Outcome outcome;
    outcome.finished = process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit;
    outcome.out = process.readAllStandardOutput();
    outcome.err = process.readAllStandardError();
    outcome.exitCode = process.exitCode();
    return outcome;
}

QByteArray usageFor(const QByteArray &program)
{
    return "\n" + program
           + " -[i|u|e|t|p|r|c|v|h]\n"
             "\t-i(nstall) [account] [password]\t: Install the service, optionally using given account and password\n"
             "\t-u(ninstall)\t: Uninstall the service.\n"
             "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
             "\t-t(erminate)\t: Stop the service.\n"
             "\t-p(ause)\t: Pause the service.\n"
             "\t-r(esume)\t: Resume a paused service.\n"
             "\t-c(ommand) num\t: Send command code num to the service.\n"
             "\t-v(ersion)\t: Print version and status information.\n"
             "\t-h(elp)   \t: Show this help\n"
             "\tNo arguments\t: Start the service.\n";
}

struct Entry
{
    QString source;
    QString message;
    LogType type;
    quint32 eventId;
    quint16 category;
    QByteArray data;
};

class RecordingSink final : public EventSink
{
public:
    RecordingSink() { EventSink::setCurrent(this); }
    ~RecordingSink() override { EventSink::setCurrent(nullptr); }

    void writeEvent(const QString &source, const QString &message, LogType type, quint32 eventId,
                    quint16 category, const QByteArray &data) override
    {
        entries.push_back({source, message, type, eventId, category, data});
    }

    std::vector<Entry> entries;
};

// Answers from fields and records the user commands that reach it.
class FakePlatform final : public ServicePlatform
{
public:
    FakePlatform() { ServicePlatform::setCurrent(this); }
    ~FakePlatform() override { ServicePlatform::setCurrent(nullptr); }

    bool install(const QString &, const QString &, ServiceBase::StartupType, const QString &,
                 const QString &) override { return true; }
    bool uninstall(const QString &) override { return true; }
    bool isInstalled(const QString &) override { return true; }
    bool isRunning(const QString &) override { return running; }
    bool startService(const QString &, const QStringList &) override { return true; }
    bool stopService(const QString &) override { return true; }
    bool pauseService(const QString &) override { return true; }
    bool resumeService(const QString &) override { return true; }
    bool sendCommand(const QString &, int code) override
    {
        commands.append(code);
        return true;
    }
    bool runAsService(ServiceBase &) override { return true; }

    bool running = true;
    QList<int> commands;
};

class ProbeService final : public Service<QCoreApplication>
{
public:
    ProbeService(int argc, char **argv, const QString &name)
        : Service<QCoreApplication>(argc, argv, name)
    {
    }

    int starts = 0;

protected:
    void start() override { ++starts; }
};

ProbeService *makeProbe(const QString &name, std::vector<QByteArray> arguments = {"/opt/vk/Voltkeep"})
{
    static std::vector<QByteArray> storage;
    static std::vector<char *> vector;
    storage = std::move(arguments);
    vector.clear();
    for (QByteArray &argument : storage)
        vector.push_back(argument.data());
    return new ProbeService(int(vector.size()), vector.data(), name);
}

} // namespace

class TestServiceHost : public QObject
{
    Q_OBJECT

private slots:
    // In-process: construction, logging and the controller.
    void longNameIsCutWithOneWarning();
    void backslashesBecomeCharacterZero();
    void nameWithinLimitsIsKept();
    void argumentsAreConvertedWithProgramPathFirst();
    void instanceFollowsLifetime();
    void logEventReachesTheSink();
    void controllerWithoutPlatformAnswersFalse();
    void sendCommandChecksRangeAndState();
    void execWithoutOwnApplicationFails();

    // The test service as a process, without a service manager.
    void helpPrintsUsage_data();
    void helpPrintsUsage();
    void versionPrintsStatus();
    void noOrUnknownOptionRunsAsService_data();
    void noOrUnknownOptionRunsAsService();
    void installFails();
    void uninstallWhenNotInstalled();
    void terminateWarns();
    void controlOptionsAreSilent_data();
    void controlOptionsAreSilent();
    void namesArePrintedInLatin1();
    void execStartsOnceInsideTheLoop_data();
    void execStartsOnceInsideTheLoop();

    // The test service as a process, with a recording service manager.
    void installAndControlSequence();
    void commandArgumentIsChecked_data();
    void commandArgumentIsChecked();
    void uninstallRefused();
    void serviceRunAcceptedExitsWithZero();
};

void TestServiceHost::longNameIsCutWithOneWarning()
{
    const QString name(300, QLatin1Char('n'));
    WarningCapture capture;
    std::unique_ptr<ProbeService> service(makeProbe(name));
    QCOMPARE(capture.warnings, QStringList{QStringLiteral("Service: 'name' is longer than 255 characters.")});
    QCOMPARE(service->serviceName(), name.left(255));
}

void TestServiceHost::backslashesBecomeCharacterZero()
{
    WarningCapture capture;
    std::unique_ptr<ProbeService> service(makeProbe(QStringLiteral("Volt\\keep\\\\x")));
    QCOMPARE(capture.warnings, QStringList{QStringLiteral("Service: 'name' contains backslashes '\\'.")});
    const QString expected = QStringLiteral("Volt") + QChar(0) + QStringLiteral("keep") + QChar(0) + QChar(0)
                             + QStringLiteral("x");
    QCOMPARE(service->serviceName(), expected);

    // A long name is cut first; a backslash beyond the cut is gone with it.
    capture.warnings.clear();
    service.reset(makeProbe(QString(255, QLatin1Char('a')) + QStringLiteral("\\b")));
    QCOMPARE(capture.warnings, QStringList{QStringLiteral("Service: 'name' is longer than 255 characters.")});
    QCOMPARE(service->serviceName(), QString(255, QLatin1Char('a')));
}

void TestServiceHost::nameWithinLimitsIsKept()
{
    WarningCapture capture;
    const QString name(255, QLatin1Char('k'));
    std::unique_ptr<ProbeService> service(makeProbe(name));
    QVERIFY(capture.warnings.isEmpty());
    QCOMPARE(service->serviceName(), name);
}

void TestServiceHost::argumentsAreConvertedWithProgramPathFirst()
{
    std::unique_ptr<ProbeService> service(
        makeProbe(QStringLiteral("Voltkeep"), {"/opt/vk/Voltkeep", "-x", QStringLiteral("K\u00e4rnten").toLocal8Bit()}));
    const QStringList expected{QStringLiteral("/opt/vk/Voltkeep"), QStringLiteral("-x"), QStringLiteral("K\u00e4rnten")};
    QCOMPARE(service->arguments(), expected);
    QCOMPARE(service->serviceDescription(), QString());
    QCOMPARE(service->startupType(), ServiceBase::ManualStartup);
    QCOMPARE(service->serviceFlags(), 0);
}

void TestServiceHost::instanceFollowsLifetime()
{
    QCOMPARE(ServiceBase::instance(), nullptr);
    {
        std::unique_ptr<ProbeService> service(makeProbe(QStringLiteral("Voltkeep")));
        QCOMPARE(ServiceBase::instance(), service.get());
    }
    QCOMPARE(ServiceBase::instance(), nullptr);
}

void TestServiceHost::logEventReachesTheSink()
{
    RecordingSink sink;

    // Before any service exists, entries go out under the server's name.
    ServiceBase::logEvent(QStringLiteral("early entry"), LogType::Warning);
    QCOMPARE(sink.entries.size(), size_t(1));
    QCOMPARE(sink.entries[0].source, QStringLiteral("Voltkeep"));
    QCOMPARE(sink.entries[0].message, QStringLiteral("early entry"));
    QCOMPARE(sink.entries[0].type, LogType::Warning);
    QCOMPARE(sink.entries[0].eventId, 0xC0000001u);
    QCOMPARE(sink.entries[0].category, quint16(0));
    QVERIFY(sink.entries[0].data.isEmpty());

    std::unique_ptr<ProbeService> service(makeProbe(QStringLiteral("Probe")));
    ServiceBase::logEvent(QStringLiteral("database opened"), LogType::Information);
    ServiceBase::logEvent(QStringLiteral("raw"), LogType::Error, 7, 3, QByteArray("\x01\x00\x02", 3));
    ServiceBase::logEvent(QStringLiteral("done"), LogType::Success);
    QCOMPARE(sink.entries.size(), size_t(4));
    QCOMPARE(sink.entries[1].source, QStringLiteral("Probe"));
    QCOMPARE(sink.entries[1].message, QStringLiteral("database opened"));
    QCOMPARE(sink.entries[1].type, LogType::Information);
    QCOMPARE(sink.entries[2].type, LogType::Error);
    QCOMPARE(sink.entries[2].eventId, 7u);
    QCOMPARE(sink.entries[2].category, quint16(3));
    QCOMPARE(sink.entries[2].data, QByteArray("\x01\x00\x02", 3));
    QCOMPARE(sink.entries[3].type, LogType::Success);
    QCOMPARE(sink.entries[3].source, QStringLiteral("Probe"));
}

void TestServiceHost::controllerWithoutPlatformAnswersFalse()
{
    ServicePlatform::setCurrent(nullptr);
    ServiceController controller(QStringLiteral("Voltkeep"));
    QVERIFY(!controller.isInstalled());
    QVERIFY(!controller.install(QStringLiteral("svcuser"), QStringLiteral("secret")));
    QVERIFY(!controller.uninstall());
    QVERIFY(!controller.isRunning());
    QVERIFY(!controller.startService({QStringLiteral("a")}));
    QVERIFY(!controller.stopService());
    QVERIFY(!controller.pauseService());
    QVERIFY(!controller.resumeService());
    QVERIFY(!controller.sendCommand(0));
}

void TestServiceHost::sendCommandChecksRangeAndState()
{
    FakePlatform platform;
    ServiceController controller(QStringLiteral("Voltkeep"));
    QVERIFY(!controller.sendCommand(200));
    QVERIFY(!controller.sendCommand(-1));
    QVERIFY(!controller.sendCommand(128));
    QVERIFY(platform.commands.isEmpty());
    QVERIFY(controller.sendCommand(0));
    QVERIFY(controller.sendCommand(127));
    QCOMPARE(platform.commands, (QList<int>{0, 127}));

    platform.running = false;
    QVERIFY(!controller.sendCommand(5));
    QCOMPARE(platform.commands, (QList<int>{0, 127}));
}

void TestServiceHost::execWithoutOwnApplicationFails()
{
    // This process already has its application object, so the service cannot make its own.
    ServicePlatform::setCurrent(nullptr);
    std::unique_ptr<ProbeService> service(makeProbe(QStringLiteral("Voltkeep"), {"/opt/vk/Voltkeep", "-e", "more"}));
    WarningCapture capture;
    QCOMPARE(service->run(), -1);
    QCOMPARE(capture.warnings.size(), 1);
    QVERIFY2(capture.warnings[0].startsWith(QStringLiteral("The service could not be executed.")),
             qPrintable(capture.warnings[0]));
    QCOMPARE(service->starts, 0);
    QCOMPARE(service->arguments(), (QStringList{QStringLiteral("/opt/vk/Voltkeep"), QStringLiteral("more")}));
    QVERIFY(!EventSink::echoToStandardError());
}

void TestServiceHost::helpPrintsUsage_data()
{
    QTest::addColumn<QString>("option");
    QTest::newRow("short") << QStringLiteral("-h");
    QTest::newRow("long") << QStringLiteral("-help");
}

void TestServiceHost::helpPrintsUsage()
{
    QFETCH(QString, option);
    const Outcome outcome = runService({option});
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.out, usageFor(serviceProgram.toLatin1()));
    QCOMPARE(outcome.err, QByteArray());
    QCOMPARE(outcome.exitCode, 0);
}

void TestServiceHost::versionPrintsStatus()
{
    const QByteArray expected = "The service\n\tVoltkeep\n\t" + serviceProgram.toLatin1()
                                + "\n\nis not installed and not running\n\n";
    for (const QString &option : {QStringLiteral("-v"), QStringLiteral("-version")}) {
        const Outcome outcome = runService({option});
        QVERIFY(outcome.finished);
        QCOMPARE(outcome.out, expected);
        QCOMPARE(outcome.err, QByteArray());
        QCOMPARE(outcome.exitCode, 0);
    }
}

void TestServiceHost::noOrUnknownOptionRunsAsService_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("none") << QStringList();
    QTest::newRow("unknown") << QStringList{QStringLiteral("-x")};
    QTest::newRow("upper-case exec") << QStringList{QStringLiteral("-E")};
    QTest::newRow("upper-case help") << QStringList{QStringLiteral("-Help")};
    QTest::newRow("option with suffix") << QStringList{QStringLiteral("-execute")};
    QTest::newRow("option as third argument") << QStringList{QStringLiteral("x"), QStringLiteral("-h")};
}

void TestServiceHost::noOrUnknownOptionRunsAsService()
{
    QFETCH(QStringList, arguments);
    const Outcome outcome = runService(arguments);
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.out, QByteArray());
    QCOMPARE(outcome.err, QByteArray("The service Voltkeep could not start\nUse -e to run it in the foreground, -h for every option.\n"));
    QCOMPARE(outcome.exitCode, 252);
}

void TestServiceHost::installFails()
{
    for (const QString &option : {QStringLiteral("-i"), QStringLiteral("-install")}) {
        const Outcome outcome = runService({option, QStringLiteral("svcuser"), QStringLiteral("secret")});
        QVERIFY(outcome.finished);
        QCOMPARE(outcome.out, QByteArray());
        QCOMPARE(outcome.err, QByteArray("The service Voltkeep could not be installed\n"));
        QCOMPARE(outcome.exitCode, 255);
    }
}

void TestServiceHost::uninstallWhenNotInstalled()
{
    for (const QString &option : {QStringLiteral("-u"), QStringLiteral("-uninstall")}) {
        const Outcome outcome = runService({option});
        QVERIFY(outcome.finished);
        QCOMPARE(outcome.out, QByteArray());
        QCOMPARE(outcome.err, QByteArray("The service Voltkeep is not installed\n"));
        QCOMPARE(outcome.exitCode, 0);
    }
}

void TestServiceHost::terminateWarns()
{
    for (const QString &option : {QStringLiteral("-t"), QStringLiteral("-terminate")}) {
        const Outcome outcome = runService({option});
        QVERIFY(outcome.finished);
        QCOMPARE(outcome.out, QByteArray());
        QVERIFY2(outcome.err.startsWith("The service could not be stopped."), outcome.err.constData());
        QCOMPARE(outcome.err.count('\n'), 1);
        QCOMPARE(outcome.exitCode, 255);
    }
}

void TestServiceHost::controlOptionsAreSilent_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("-p") << QStringList{QStringLiteral("-p")};
    QTest::newRow("-pause") << QStringList{QStringLiteral("-pause")};
    QTest::newRow("-r") << QStringList{QStringLiteral("-r")};
    QTest::newRow("-resume") << QStringList{QStringLiteral("-resume")};
    QTest::newRow("-c") << QStringList{QStringLiteral("-c")};
    QTest::newRow("-command 5") << QStringList{QStringLiteral("-command"), QStringLiteral("5")};
}

void TestServiceHost::controlOptionsAreSilent()
{
    QFETCH(QStringList, arguments);
    const Outcome outcome = runService(arguments);
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.out, QByteArray());
    QCOMPARE(outcome.err, QByteArray());
    QCOMPARE(outcome.exitCode, 0);
}

void TestServiceHost::namesArePrintedInLatin1()
{
    const QMap<QString, QString> env{{QStringLiteral("VK_TEST_SERVICE_NAME"), QStringLiteral("K\u00e4rnten")}};
    Outcome outcome = runService({QStringLiteral("-u")}, env);
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.err, QByteArray("The service K\xe4rnten is not installed\n"));
    outcome = runService({}, env);
    QCOMPARE(outcome.err, QByteArray("The service K\xe4rnten could not start\nUse -e to run it in the foreground, -h for every option.\n"));
    QCOMPARE(outcome.exitCode, 252);
}

void TestServiceHost::execStartsOnceInsideTheLoop_data()
{
    QTest::addColumn<QString>("option");
    QTest::newRow("short") << QStringLiteral("-e");
    QTest::newRow("long") << QStringLiteral("-exec");
}

void TestServiceHost::execStartsOnceInsideTheLoop()
{
    QFETCH(QString, option);
    const Outcome outcome = runService({option, QStringLiteral("extra")});
    QVERIFY(outcome.finished);
    // The test service ends its loop with 7; that is the process's result.
    QCOMPARE(outcome.exitCode, 7);
    QCOMPARE(outcome.out, QByteArray());
    const QByteArray expected = "Information: test service started\n"
                                "Information: event loop running: yes\n"
                                "Information: application arguments: "
                                + serviceProgram.toLocal8Bit() + " extra\n";
    QCOMPARE(outcome.err, expected);
}

void TestServiceHost::installAndControlSequence()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QMap<QString, QString> env{{QStringLiteral("VK_TEST_SERVICE_PLATFORM"), folder.path()}};
    const QByteArray program = serviceProgram.toLatin1();
    const auto calls = [&folder] {
        QFile log(folder.filePath(QStringLiteral("calls.log")));
        if (!log.open(QIODevice::ReadOnly))
            return QByteArrayList();
        QByteArrayList lines = log.readAll().split('\n');
        lines.removeAll(QByteArray());
        return lines;
    };
    const auto markRunning = [&folder] {
        QFile marker(folder.filePath(QStringLiteral("running")));
        return marker.open(QIODevice::WriteOnly);
    };

    Outcome outcome = runService({QStringLiteral("-i"), QStringLiteral("svcuser"), QStringLiteral("secret")}, env);
    QCOMPARE(outcome.out, "The service Voltkeep has been installed under: " + program + "\n");
    QCOMPARE(outcome.err, QByteArray());
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(calls(), QByteArrayList{"install Voltkeep|Test service description|manual|svcuser|secret"});

    outcome = runService({QStringLiteral("-install")}, env);
    QCOMPARE(outcome.out, QByteArray());
    QCOMPARE(outcome.err, QByteArray("The service Voltkeep is already installed\n"));
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(calls().size(), 1);

    outcome = runService({QStringLiteral("-v")}, env);
    QCOMPARE(outcome.out, "The service\n\tVoltkeep\n\t" + program + "\n\nis installed and not running\n\n");

    QVERIFY(markRunning());
    outcome = runService({QStringLiteral("-v")}, env);
    QCOMPARE(outcome.out, "The service\n\tVoltkeep\n\t" + program + "\n\nis installed and running\n\n");

    outcome = runService({QStringLiteral("-p")}, env);
    QCOMPARE(outcome.exitCode, 0);
    outcome = runService({QStringLiteral("-r")}, env);
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(calls().mid(1), (QByteArrayList{"pause Voltkeep", "resume Voltkeep"}));

    outcome = runService({QStringLiteral("-t")}, env);
    QCOMPARE(outcome.err, QByteArray());
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(calls().last(), QByteArray("stop Voltkeep"));

    // Stopping a stopped service is refused: a warning, and the exit status says so.
    outcome = runService({QStringLiteral("-terminate")}, env);
    QVERIFY2(outcome.err.startsWith("The service could not be stopped."), outcome.err.constData());
    QCOMPARE(outcome.exitCode, 255);
    QCOMPARE(calls().size(), 4);

    outcome = runService({QStringLiteral("-u")}, env);
    QCOMPARE(outcome.out, QByteArray("The service Voltkeep has been uninstalled.\n"));
    QCOMPARE(outcome.err, QByteArray());
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(calls().last(), QByteArray("uninstall Voltkeep"));

    outcome = runService({QStringLiteral("-uninstall")}, env);
    QCOMPARE(outcome.err, QByteArray("The service Voltkeep is not installed\n"));
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(calls().size(), 5);
}

void TestServiceHost::commandArgumentIsChecked_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArrayList>("expectedCalls");
    const QString c = QStringLiteral("-c");
    QTest::newRow("no number") << QStringList{c} << QByteArrayList{"command Voltkeep 0"};
    QTest::newRow("42") << QStringList{c, QStringLiteral("42")} << QByteArrayList{"command Voltkeep 42"};
    QTest::newRow("127 long form") << QStringList{QStringLiteral("-command"), QStringLiteral("127")}
                                   << QByteArrayList{"command Voltkeep 127"};
    QTest::newRow("200") << QStringList{c, QStringLiteral("200")} << QByteArrayList();
    QTest::newRow("-1") << QStringList{c, QStringLiteral("-1")} << QByteArrayList();
    QTest::newRow("not a number") << QStringList{c, QStringLiteral("abc")} << QByteArrayList();
    QTest::newRow("overflow") << QStringList{c, QStringLiteral("4294967296")} << QByteArrayList();
}

void TestServiceHost::commandArgumentIsChecked()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArrayList, expectedCalls);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    for (const char *marker : {"installed", "running"}) {
        QFile file(folder.filePath(QLatin1String(marker)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const Outcome outcome = runService(arguments, {{QStringLiteral("VK_TEST_SERVICE_PLATFORM"), folder.path()}});
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.out, QByteArray());
    QCOMPARE(outcome.err, QByteArray());
    QCOMPARE(outcome.exitCode, 0);
    QFile log(folder.filePath(QStringLiteral("calls.log")));
    QByteArrayList calls;
    if (log.open(QIODevice::ReadOnly)) {
        calls = log.readAll().split('\n');
        calls.removeAll(QByteArray());
    }
    QCOMPARE(calls, expectedCalls);
}

void TestServiceHost::uninstallRefused()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    for (const char *marker : {"installed", "refuse-uninstall"}) {
        QFile file(folder.filePath(QLatin1String(marker)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const Outcome outcome =
        runService({QStringLiteral("-u")}, {{QStringLiteral("VK_TEST_SERVICE_PLATFORM"), folder.path()}});
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.out, QByteArray());
    QCOMPARE(outcome.err, QByteArray("The service Voltkeep could not be uninstalled\n"));
    QCOMPARE(outcome.exitCode, 255);
}

void TestServiceHost::serviceRunAcceptedExitsWithZero()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QFile accept(folder.filePath(QStringLiteral("accept-service-run")));
    QVERIFY(accept.open(QIODevice::WriteOnly));
    accept.close();
    const QMap<QString, QString> env{{QStringLiteral("VK_TEST_SERVICE_PLATFORM"), folder.path()}};

    // An unknown option is not consumed: the service gets every argument.
    Outcome outcome = runService({QStringLiteral("-E"), QStringLiteral("x")}, env);
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.err, QByteArray());
    QCOMPARE(outcome.exitCode, 0);
    QFile log(folder.filePath(QStringLiteral("calls.log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), "run Voltkeep|" + serviceProgram.toUtf8() + " -E x\n");
}

QTEST_GUILESS_MAIN(TestServiceHost)
#include "tst_servicehost.moc"
