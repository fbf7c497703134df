// The Windows service binding in this process, against the stand-in "advapi32" on the library
// path: the controller's operations with their access rights and rules, the event log, the
// dispatcher's failures and the end-of-session filter.
#include "EventSink.h"
#include "Service.h"
#include "ServiceAppEventFilter.h"
#include "ServiceController.h"
#include "ServiceManagerApi.h"
#include "StandInFiles.h"
#include "StandInManager.h"
#include "WindowsServicePlatform.h"
#include "WarningCapture.h"
#include "WindowsServiceTypes.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QTest>

#include <memory>
#include <vector>

using namespace NVL::Engineering::VK;

namespace {

class ProbeService final : public Service<QCoreApplication>
{
public:
    ProbeService(int argc, char **argv, const QString &name)
        : Service<QCoreApplication>(argc, argv, name)
    {
    }

protected:
    void start() override {}
};

std::unique_ptr<ProbeService> makeProbe(const QString &name, std::vector<QByteArray> arguments)
{
    std::vector<char *> vector;
    for (QByteArray &argument : arguments)
        vector.push_back(argument.data());
    // The service copies the arguments; the storage only has to live through the constructor.
    return std::make_unique<ProbeService>(int(vector.size()), vector.data(), name);
}

} // namespace

class TestServiceControl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void installAppliesTheAccountRules_data();
    void installAppliesTheAccountRules();
    void installRefusals();
    void queriesAndUninstall();
    void stopPollsUntilStopped();
    void stopGivesUpAfterTenPolls();
    void refusedStopWarns();
    void pauseResumeAndCommands();
    void startHandsTheArgumentsOver();
    void logEventWritesTheEventLog();
    void endSessionOfALogoffIsConsumed();
    void dispatcherFailures();
    void noServiceMainWithinTheLimit();
};

void TestServiceControl::initTestCase()
{
    // The stand-in on the library path is what the binding finds as "advapi32".
    QVERIFY2(ServiceManagerApi::instance(), "the stand-in advapi32 is not on the library path");
    QVERIFY(ServiceManagerApi::instance()->queryServiceConfig);
    QVERIFY(ServiceManagerApi::instance()->queryServiceConfig2);
    QVERIFY(dynamic_cast<WindowsServicePlatform *>(&ServicePlatform::current()));
}

void TestServiceControl::installAppliesTheAccountRules_data()
{
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("automatic");
    QTest::addColumn<QString>("registeredAccount");
    QTest::addColumn<QVariant>("registeredPassword"); // invalid: none passed
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("start");

    const QString secret = QStringLiteral("secret");
    QTest::newRow("local account gets .\\") << QStringLiteral("svcuser") << secret << false
                                            << QStringLiteral(".\\svcuser") << QVariant(secret) << 0x10 << 3;
    QTest::newRow("domain account as given") << QStringLiteral("NORVALE\\svcuser") << secret << true
                                             << QStringLiteral("NORVALE\\svcuser") << QVariant(secret) << 0x10 << 2;
    QTest::newRow("account without password") << QStringLiteral("svcuser") << QString() << false
                                              << QStringLiteral(".\\svcuser") << QVariant() << 0x10 << 3;
    QTest::newRow("system account") << QStringLiteral("NT AUTHORITY\\LocalSystem") << secret << false << QString()
                                    << QVariant() << 0x110 << 3;
    QTest::newRow("bare LocalSystem") << QStringLiteral("LocalSystem") << secret << true << QString() << QVariant()
                                      << 0x110 << 2;
    QTest::newRow("LocalSystem is case-sensitive") << QStringLiteral("NT AUTHORITY\\localsystem") << secret << false
                                                   << QStringLiteral("NT AUTHORITY\\localsystem") << QVariant(secret)
                                                   << 0x10 << 3;
    QTest::newRow("no account, password ignored") << QString() << secret << false << QString() << QVariant() << 0x110
                                                  << 3;
}

void TestServiceControl::installAppliesTheAccountRules()
{
    QFETCH(QString, account);
    QFETCH(QString, password);
    QFETCH(bool, automatic);
    QFETCH(QString, registeredAccount);
    QFETCH(QVariant, registeredPassword);
    QFETCH(int, type);
    QFETCH(int, start);

    StandInManager manager;
    QVERIFY(manager.isValid());
    const quint32 handlesBefore = StandInManager::openHandleCount();
    ServiceController controller(QStringLiteral("Voltkeep"));
    controller.setServiceDescription(QStringLiteral("Voltkeep 1.30.5 Build 22 (Maintains Battery Data)"));
    controller.setStartupType(automatic ? ServiceBase::AutoStartup : ServiceBase::ManualStartup);
    QVERIFY(!controller.isInstalled());
    QVERIFY(controller.install(account, password));
    QVERIFY(controller.isInstalled());

    const QJsonObject entry = manager.service(QStringLiteral("Voltkeep"));
    QCOMPARE(entry.value(QStringLiteral("displayName")).toString(), QStringLiteral("Voltkeep"));
    QCOMPARE(entry.value(QStringLiteral("account")).toString(), registeredAccount);
    QCOMPARE(entry.contains(QStringLiteral("password")), registeredPassword.isValid());
    if (registeredPassword.isValid())
        QCOMPARE(entry.value(QStringLiteral("password")).toString(), registeredPassword.toString());
    QCOMPARE(entry.value(QStringLiteral("type")).toInt(), type);
    QCOMPARE(entry.value(QStringLiteral("start")).toInt(), start);
    QCOMPARE(entry.value(QStringLiteral("errorControl")).toInt(), 1);
    // The program's own path, no quotes, no arguments.
    QCOMPARE(entry.value(QStringLiteral("path")).toString(), QCoreApplication::applicationFilePath());
    QCOMPARE(entry.value(QStringLiteral("description")).toString(),
             QStringLiteral("Voltkeep 1.30.5 Build 22 (Maintains Battery Data)"));
    QCOMPARE(entry.value(QStringLiteral("state")).toInt(), 1);
    // Every operation closes what it opened.
    QCOMPARE(StandInManager::openHandleCount(), handlesBefore);
}

void TestServiceControl::installRefusals()
{
    StandInManager manager;
    ServiceController controller(QStringLiteral("Voltkeep"));
    QVERIFY(controller.install());
    QCOMPARE(manager.service(QStringLiteral("Voltkeep")).value(QStringLiteral("description")).toString(), QString());
    // Registered already: the service manager refuses a second registration.
    QVERIFY(!controller.install(QStringLiteral("svcuser"), QStringLiteral("secret")));
    QCOMPARE(manager.service(QStringLiteral("Voltkeep")).value(QStringLiteral("account")).toString(), QString());
    QCOMPARE(ServicePlatform::current().lastErrorText(), qt_error_string(int(Win::ErrorServiceExists)));

    // Without administrator rights the manager cannot be opened with all access.
    StandInManager unprivileged;
    unprivileged.setRegistry(QJsonObject{{QStringLiteral("admin"), false}});
    QVERIFY(!controller.install());
    QVERIFY(!controller.isInstalled());
    QVERIFY(unprivileged.service(QStringLiteral("Voltkeep")).isEmpty());
}

void TestServiceControl::queriesAndUninstall()
{
    StandInManager manager;
    ServiceController controller(QStringLiteral("Voltkeep"));
    QVERIFY(!controller.isInstalled());
    QVERIFY(!controller.isRunning());
    QVERIFY(!controller.uninstall());

    manager.addService(QStringLiteral("Voltkeep"), 4);
    QVERIFY(controller.isInstalled());
    QVERIFY(controller.isRunning());
    for (int state : {2, 3, 7}) {
        manager.addService(QStringLiteral("Voltkeep"), state);
        QVERIFY(controller.isRunning());
    }
    manager.addService(QStringLiteral("Voltkeep"), 1);
    QVERIFY(!controller.isRunning());

    // A user may query but not remove.
    QJsonObject root = manager.registry();
    root.insert(QStringLiteral("admin"), false);
    manager.setRegistry(root);
    QVERIFY(controller.isInstalled());
    QVERIFY(!controller.uninstall());
    QVERIFY(controller.isInstalled());

    root.insert(QStringLiteral("admin"), true);
    manager.setRegistry(root);
    QVERIFY(controller.uninstall());
    QVERIFY(!controller.isInstalled());
    QVERIFY(!controller.uninstall());
    QVERIFY(manager.journal(QStringLiteral("control")).isEmpty());
}

void TestServiceControl::stopPollsUntilStopped()
{
    StandInManager manager;
    manager.addService(QStringLiteral("Voltkeep"), 4, {{QStringLiteral("stopAfterQueries"), 3}});
    ServiceController controller(QStringLiteral("Voltkeep"));
    WarningCapture capture;
    QVERIFY(controller.stopService());
    QVERIFY(capture.warnings.isEmpty());
    const QList<QStringList> controls = manager.journal(QStringLiteral("control"));
    QCOMPARE(controls.size(), 1);
    QCOMPARE(controls[0].mid(1), (QStringList{QStringLiteral("Voltkeep"), QStringLiteral("1"), QStringLiteral("0")}));
    const QList<QStringList> queries = manager.journal(QStringLiteral("query"));
    QCOMPARE(queries.size(), 3);
    QCOMPARE(queries.last().value(3), QStringLiteral("1"));
    QVERIFY(!controller.isRunning());
}

void TestServiceControl::stopGivesUpAfterTenPolls()
{
    StandInManager manager;
    manager.addService(QStringLiteral("Voltkeep"), 4, {{QStringLiteral("stopAfterQueries"), -1}});
    ServiceController controller(QStringLiteral("Voltkeep"));
    QVERIFY(!controller.stopService());
    const QList<QStringList> queries = manager.journal(QStringLiteral("query"));
    QCOMPARE(queries.size(), 10);
    for (qsizetype i = 1; i < queries.size(); ++i) {
        const qint64 gap = queries[i].value(2).toLongLong() - queries[i - 1].value(2).toLongLong();
        QVERIFY2(gap >= 195, qPrintable(QStringLiteral("polls %1 ms apart").arg(gap)));
        QCOMPARE(queries[i].value(3), QStringLiteral("3"));
    }
}

void TestServiceControl::refusedStopWarns()
{
    StandInManager manager;
    ServiceController controller(QStringLiteral("Voltkeep"));
    manager.addService(QStringLiteral("Voltkeep"), 1);
    {
        WarningCapture capture;
        QVERIFY(!controller.stopService());
        QCOMPARE(capture.warnings,
                 QStringList{QStringLiteral("stopping [%1]").arg(qt_error_string(int(Win::ErrorServiceNotActive)))});
    }
    manager.addService(QStringLiteral("Voltkeep"), 4, {{QStringLiteral("refuseControls"), true}});
    {
        WarningCapture capture;
        QVERIFY(!controller.stopService());
        QCOMPARE(capture.warnings, QStringList{QStringLiteral("stopping [%1]")
                                                   .arg(qt_error_string(int(Win::ErrorInvalidServiceControl)))});
    }
    QVERIFY(manager.journal(QStringLiteral("query")).isEmpty());
    // A user may not stop it: the service cannot even be opened for that.
    QJsonObject root = manager.registry();
    root.insert(QStringLiteral("admin"), false);
    manager.setRegistry(root);
    manager.addService(QStringLiteral("Voltkeep"), 4, {{QStringLiteral("stopAfterQueries"), 0}});
    QVERIFY(!controller.stopService());
    QCOMPARE(manager.journal(QStringLiteral("control")).size(), 2);
}

void TestServiceControl::pauseResumeAndCommands()
{
    StandInManager manager;
    ServiceController controller(QStringLiteral("Voltkeep"));
    QVERIFY(!controller.pauseService());
    QVERIFY(!controller.sendCommand(5));

    manager.addService(QStringLiteral("Voltkeep"), 4);
    QVERIFY(controller.pauseService());
    QVERIFY(controller.resumeService());
    QVERIFY(controller.sendCommand(5));
    QVERIFY(controller.sendCommand(0));
    QVERIFY(controller.sendCommand(127));
    QVERIFY(!controller.sendCommand(200));
    QVERIFY(!controller.sendCommand(-1));
    QVERIFY(!controller.sendCommand(128));
    QList<QString> codes;
    for (const QStringList &fields : manager.journal(QStringLiteral("control")))
        codes.append(fields.value(2));
    QCOMPARE(codes, (QList<QString>{QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("133"),
                                    QStringLiteral("128"), QStringLiteral("255")}));

    // A user may send user-defined controls but not pause.
    QJsonObject root = manager.registry();
    root.insert(QStringLiteral("admin"), false);
    manager.setRegistry(root);
    QVERIFY(controller.sendCommand(1));
    QVERIFY(!controller.pauseService());
    QCOMPARE(manager.journal(QStringLiteral("control")).size(), 6);

    // A stopped service gets nothing; one that refuses answers false.
    manager.addService(QStringLiteral("Voltkeep"), 1);
    QVERIFY(!controller.sendCommand(5));
    QCOMPARE(manager.journal(QStringLiteral("control")).size(), 6);
    root.insert(QStringLiteral("admin"), true);
    manager.setRegistry(root);
    manager.addService(QStringLiteral("Voltkeep"), 4, {{QStringLiteral("refuseControls"), true}});
    QVERIFY(!controller.resumeService());
    QVERIFY(!controller.sendCommand(9));
}

void TestServiceControl::startHandsTheArgumentsOver()
{
    StandInManager manager;
    ServiceController controller(QStringLiteral("Voltkeep"));
    QVERIFY(!controller.startService({QStringLiteral("a")}));
    manager.addService(QStringLiteral("Voltkeep"), 1);
    QVERIFY(controller.startService({QStringLiteral("a"), QStringLiteral("b c"), QStringLiteral("K\u00e4rnten")}));
    const QList<QStringList> requests = manager.journal(QStringLiteral("start-request"));
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0].mid(1), (QStringList{QStringLiteral("Voltkeep"), QStringLiteral("a"), QStringLiteral("b c"),
                                             QStringLiteral("K\u00e4rnten")}));
    QCOMPARE(manager.service(QStringLiteral("Voltkeep")).value(QStringLiteral("state")).toInt(), 2);
    // Already started.
    QVERIFY(!controller.startService());
    QCOMPARE(manager.journal(QStringLiteral("start-request")).size(), 1);
}

void TestServiceControl::logEventWritesTheEventLog()
{
    StandInManager manager;
    EventSink::setCurrent(nullptr);
    ServiceBase::logEvent(QStringLiteral("before any service"), LogType::Information);
    {
        const std::unique_ptr<ProbeService> service = makeProbe(QStringLiteral("Probe"), {"/opt/vk/probe"});
        ServiceBase::logEvent(QStringLiteral("Failed to open database"), LogType::Error);
        ServiceBase::logEvent(QStringLiteral("careful"), LogType::Warning);
        ServiceBase::logEvent(QStringLiteral("Voltkeep 1.30.5.22\nAccepting connections on port: 9362 (TCP + UDP)"),
                              LogType::Success);
        ServiceBase::logEvent(QStringLiteral("with data \u00e4\t%"), LogType::Information, 7, 3,
                              QByteArray("\x01\x00\xff", 3));
    }
    const QList<QStringList> events = manager.journal(QStringLiteral("event"));
    QCOMPARE(events.size(), 5);
    const QList<QStringList> expected{
        {QStringLiteral("Voltkeep"), QStringLiteral("4"), QStringLiteral("0"), QStringLiteral("c0000001"),
         QStringLiteral("1"), QString(), QStringLiteral("1")},
        {QStringLiteral("Probe"), QStringLiteral("1"), QStringLiteral("0"), QStringLiteral("c0000001"),
         QStringLiteral("1"), QString(), QStringLiteral("1")},
        {QStringLiteral("Probe"), QStringLiteral("2"), QStringLiteral("0"), QStringLiteral("c0000001"),
         QStringLiteral("1"), QString(), QStringLiteral("1")},
        {QStringLiteral("Probe"), QStringLiteral("0"), QStringLiteral("0"), QStringLiteral("c0000001"),
         QStringLiteral("1"), QString(), QStringLiteral("1")},
        {QStringLiteral("Probe"), QStringLiteral("4"), QStringLiteral("3"), QStringLiteral("7"), QStringLiteral("1"),
         QStringLiteral("0100ff"), QStringLiteral("1")}};
    for (qsizetype i = 0; i < events.size(); ++i)
        QCOMPARE(events[i].mid(1, 7), expected[i]);
    QCOMPARE(manager.eventMessages(),
             (QStringList{QStringLiteral("before any service"), QStringLiteral("Failed to open database"),
                          QStringLiteral("careful"),
                          QStringLiteral("Voltkeep 1.30.5.22\nAccepting connections on port: 9362 (TCP + UDP)"),
                          QStringLiteral("with data \u00e4\t%")}));
    // Every event source was deregistered again.
    QCOMPARE(StandInManager::openHandleCount(), 0u);
}

void TestServiceControl::endSessionOfALogoffIsConsumed()
{
    ServiceAppEventFilter filter;
    Win::Message message{};
    qintptr result = 0;
    message.message = Win::WmEndSession;
    message.wParam = 1;
    message.lParam = std::intptr_t(0x80000000u);
    QVERIFY(filter.nativeEventFilter("windows_generic_MSG", &message, &result));
    QCOMPARE(result, qintptr(1));

    // The end of the whole session, other messages, other bits, other event types pass.
    result = 0;
    message.lParam = 0;
    QVERIFY(!filter.nativeEventFilter("windows_generic_MSG", &message, &result));
    message.lParam = 0x40000000;
    QVERIFY(!filter.nativeEventFilter("windows_generic_MSG", &message, &result));
    message.message = 0x11; // WM_QUERYENDSESSION
    message.lParam = std::intptr_t(0x80000000u);
    QVERIFY(!filter.nativeEventFilter("windows_generic_MSG", &message, &result));
    message.message = Win::WmEndSession;
    QVERIFY(!filter.nativeEventFilter("xcb_generic_event_t", &message, &result));
    QCOMPARE(result, qintptr(0));
}

void TestServiceControl::dispatcherFailures()
{
    const std::unique_ptr<ProbeService> service =
        makeProbe(QStringLiteral("Probe"), {"/opt/vk/probe", "-X", "two words"});
    EventSink::setCurrent(nullptr);

    // Not started by the service manager (1063): the start is handed to it with the arguments after
    // the first, and nothing is logged.
    {
        StandInManager manager;
        manager.addService(QStringLiteral("Probe"), 1);
        WindowsServicePlatform platform(*ServiceManagerApi::instance());
        QVERIFY(platform.runAsService(*service));
        const QList<QStringList> requests = manager.journal(QStringLiteral("start-request"));
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].mid(1), (QStringList{QStringLiteral("Probe"), QStringLiteral("-X"),
                                                 QStringLiteral("two words")}));
        QVERIFY(manager.journal(QStringLiteral("event")).isEmpty());
        QVERIFY(manager.journal(QStringLiteral("status")).isEmpty());
    }
    // Not installed: the service manager refuses the hand-off.
    {
        StandInManager manager;
        WindowsServicePlatform platform(*ServiceManagerApi::instance());
        QVERIFY(!platform.runAsService(*service));
        QVERIFY(manager.journal(QStringLiteral("start-request")).isEmpty());
    }
    // Any other failure is logged as an error with event identifier 0.
    {
        StandInManager manager;
        manager.setRegistry(QJsonObject{{QStringLiteral("dispatcherError"), 1}});
        WindowsServicePlatform platform(*ServiceManagerApi::instance());
        QVERIFY(!platform.runAsService(*service));
        const QList<QStringList> events = manager.journal(QStringLiteral("event"));
        QCOMPARE(events.size(), 1);
        QCOMPARE(events[0].mid(1, 6), (QStringList{QStringLiteral("Probe"), QStringLiteral("1"), QStringLiteral("0"),
                                                  QStringLiteral("0"), QStringLiteral("1"), QString()}));
        QCOMPARE(manager.eventMessages(),
                 QStringList{QStringLiteral("The Service failed to start [%1]").arg(qt_error_string(1))});
        QVERIFY(manager.journal(QStringLiteral("start-request")).isEmpty());
    }
}

void TestServiceControl::noServiceMainWithinTheLimit()
{
    StandInManager manager;
    // The dispatcher connects but stays silent longer than the limit.
    manager.setRegistry(QJsonObject{{QStringLiteral("dispatcherSilentMs"), 3000}});
    qputenv(VK_STANDIN_SERVICE_VARIABLE, "Probe");
    const std::unique_ptr<ProbeService> service = makeProbe(QStringLiteral("Probe"), {"/opt/vk/probe"});
    WindowsServicePlatform platform(*ServiceManagerApi::instance(), 300);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!platform.runAsService(*service));
    const qint64 elapsed = timer.elapsed();
    qunsetenv(VK_STANDIN_SERVICE_VARIABLE);
    QVERIFY2(elapsed >= 300 && elapsed < 3000, qPrintable(QString::number(elapsed)));
    QVERIFY(manager.journal(QStringLiteral("status")).isEmpty());
}

QTEST_GUILESS_MAIN(TestServiceControl)
#include "tst_servicecontrol.moc"
