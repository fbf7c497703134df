// The server's command line under systemd: a fake systemd manager on a private bus records what the
// real program asks of it; the unit file that "-i" writes is checked line by line and by
// systemd-analyze.
#include "FakeSystemd.h"
#include "PrivateSystemBus.h"
#include "SystemdUnitFile.h"
#include "TestPaths.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace NVL::Engineering::VK;

namespace {

const QString unitName = QStringLiteral("Voltkeep.service");

struct Outcome
{
    QByteArray out;
    QByteArray err;
    int exitCode = -1;
    bool finished = false;
    qint64 elapsedMs = 0;
};

bool underHome(const QString &path)
{
    return path.startsWith(QLatin1String("/home/")) || path.startsWith(QLatin1String("/root/"))
           || path.startsWith(QLatin1String("/run/user/"));
}

QStringList linesOf(const QByteArray &text)
{
    return QString::fromUtf8(text).split(QLatin1Char('\n'));
}

const QStringList watchdogComment{
    QStringLiteral("# The event loop sends the watchdog signal, but a mail delivery blocks it for a whole SMTP"),
    QStringLiteral("# session (up to 5 s to connect, 5 s for each reply and 60 s for each write), and notifications"),
    QStringLiteral("# that fall due together are delivered one after another: only a loop silent for longer is stuck."),
};

// What the unit takes away from the server besides the file system.
const QStringList sandbox{
    QStringLiteral("CapabilityBoundingSet="),
    QStringLiteral("PrivateDevices=yes"),
    QStringLiteral("PrivateUsers=yes"),
    QStringLiteral("ProtectClock=yes"),
    QStringLiteral("ProtectKernelTunables=yes"),
    QStringLiteral("ProtectKernelModules=yes"),
    QStringLiteral("ProtectKernelLogs=yes"),
    QStringLiteral("ProtectControlGroups=yes"),
    QStringLiteral("ProtectHostname=yes"),
    QStringLiteral("ProtectProc=invisible"),
    QStringLiteral("ProcSubset=pid"),
    QStringLiteral("RestrictNamespaces=yes"),
    QStringLiteral("RestrictRealtime=yes"),
    QStringLiteral("RestrictSUIDSGID=yes"),
    QStringLiteral("LockPersonality=yes"),
    QStringLiteral("RemoveIPC=yes"),
    QStringLiteral("UMask=0027"),
    QStringLiteral("RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK"),
    QStringLiteral("MemoryDenyWriteExecute=yes"),
    QStringLiteral("SystemCallArchitectures=native"),
    QStringLiteral("SystemCallFilter=@system-service"),
    QStringLiteral("SystemCallErrorNumber=EPERM"),
};

const QString unitPathCall = QStringLiteral("Get org.freedesktop.systemd1.Manager UnitPath");

} // namespace

class TestSystemdControl : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // The unit text in-process.
    void accountsMapToUsers_data();
    void accountsMapToUsers();
    void unitForTheDefaultDataFolder();
    void unitQuotesAndEscapesValues();
    void unitRefusesWhatCannotBeWritten();

    // The real program against the fake manager.
    void installWritesAndEnablesTheUnit_data();
    void installWritesAndEnablesTheUnit();
    void installRefusesForeignAccounts_data();
    void installRefusesForeignAccounts();
    void installTwiceSaysAlreadyInstalled();
    void installRolledBackWhenEnableFails();
    void versionReportsSystemdState();
    void terminateStopsARunningUnit();
    void terminateOnAStoppedUnitWarns();
    void terminateGivesUpAfterTenPolls();
    void noOptionAsksSystemdToStart();
    void uninstallDisablesAndRemoves();
    void unitsItDidNotWriteAreLeftAlone_data();
    void unitsItDidNotWriteAreLeftAlone();
    void controlsSystemdLacksAnswerFalse();
    void failuresWithoutManagerOrBus_data();
    void failuresWithoutManagerOrBus();

    // systemd's own judgement of the unit.
    void systemdAnalyzeAcceptsTheUnit_data();
    void systemdAnalyzeAcceptsTheUnit();

private:
    Outcome runVoltkeep(const QStringList &arguments, const QString &busAddress = QString());
    QString programPath() const { return QFileInfo(TestPaths::voltkeepBinary()).canonicalFilePath(); }
    QString common() const { return m_folder->path() + QStringLiteral("/common"); }
    QString unitPath() const { return m_fake->unitFolder() + QLatin1Char('/') + unitName; }
    QStringList expectedUnit(const QString &user) const;
    QByteArray readUnit() const;

    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<PrivateSystemBus> m_bus;
    std::unique_ptr<FakeSystemd> m_fake;
};

void TestSystemdControl::init()
{
    m_folder = std::make_unique<QTemporaryDir>();
    QVERIFY(m_folder->isValid());
    QVERIFY(QDir().mkpath(common()));
    m_bus = std::make_unique<PrivateSystemBus>(m_folder->path());
    QVERIFY(m_bus->start());
    m_fake = std::make_unique<FakeSystemd>(m_bus->address(), m_folder->path() + QStringLiteral("/root"));
    QVERIFY(m_fake->start());
}

void TestSystemdControl::cleanup()
{
    m_fake.reset();
    m_bus.reset();
    m_folder.reset();
}

Outcome TestSystemdControl::runVoltkeep(const QStringList &arguments, const QString &busAddress)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID", "JOURNAL_STREAM"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress.isEmpty() ? m_bus->address() : busAddress);
    env.insert(QStringLiteral("NORVALE_COMMON_APPDATA"), common());
    process.setProcessEnvironment(env);
    QElapsedTimer clock;
    clock.start();
    process.start(TestPaths::voltkeepBinary(), arguments);
    Outcome outcome;
    outcome.finished = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    outcome.elapsedMs = clock.elapsed();
    outcome.out = process.readAllStandardOutput();
    outcome.err = process.readAllStandardError();
    outcome.exitCode = process.exitCode();
    return outcome;
}

QStringList TestSystemdControl::expectedUnit(const QString &user) const
{
    QStringList lines{
        QStringLiteral("# Installed by Voltkeep -i; removed by Voltkeep -u."),
        QStringLiteral("[Unit]"),
        QStringLiteral("Description=Voltkeep 1.30.5 Build 22 (Maintains Battery Data)"),
        QStringLiteral("After=network.target"),
        QString(),
        QStringLiteral("[Service]"),
        QStringLiteral("Type=notify"),
        QStringLiteral("ExecStart=") + programPath(),
        QStringLiteral("Restart=on-failure"),
        QStringLiteral("RestartSec=5s"),
    };
    if (!user.isEmpty())
        lines << QStringLiteral("User=") + user;
    lines << QStringLiteral("Environment=NORVALE_COMMON_APPDATA=") + common()
          << QStringLiteral("NoNewPrivileges=yes") << QStringLiteral("ProtectSystem=strict")
          << QStringLiteral("ReadWritePaths=") + common() + QStringLiteral("/Norvale")
          << (underHome(programPath()) ? QStringLiteral("ProtectHome=read-only") : QStringLiteral("ProtectHome=yes"))
          << QStringLiteral("PrivateTmp=yes") << sandbox << watchdogComment << QStringLiteral("WatchdogSec=15min")
          << QStringLiteral("SyslogIdentifier=Voltkeep") << QString() << QStringLiteral("[Install]")
          << QStringLiteral("WantedBy=multi-user.target") << QString();
    return lines;
}

QByteArray TestSystemdControl::readUnit() const
{
    QFile file(unitPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestSystemdControl::accountsMapToUsers_data()
{
    QTest::addColumn<QString>("account");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("user");
    QTest::newRow("none") << QString() << true << QString();
    QTest::newRow("plain") << QStringLiteral("svcuser") << true << QStringLiteral("svcuser");
    QTest::newRow("local prefix") << QStringLiteral(".\\svcuser") << true << QStringLiteral("svcuser");
    QTest::newRow("numeric") << QStringLiteral("1001") << true << QStringLiteral("1001");
    QTest::newRow("machine account") << QStringLiteral("svc-user_1$") << true << QStringLiteral("svc-user_1$");
    QTest::newRow("LocalSystem") << QStringLiteral("LocalSystem") << true << QString();
    QTest::newRow("NT AUTHORITY\\LocalSystem") << QStringLiteral("NT AUTHORITY\\LocalSystem") << true << QString();
    QTest::newRow(".\\LocalSystem") << QStringLiteral(".\\LocalSystem") << true << QString();
    QTest::newRow("case of LocalSystem") << QStringLiteral(".\\localsystem") << true << QStringLiteral("localsystem");
    QTest::newRow("domain") << QStringLiteral("NORVALE\\svcuser") << false << QString();
    QTest::newRow("space") << QStringLiteral("svc user") << false << QString();
    QTest::newRow("line break") << QStringLiteral("svc\nExecStartPre=/bin/sh") << false << QString();
    QTest::newRow("leading digit and letters") << QStringLiteral("1abc") << false << QString();
    QTest::newRow("too long") << QString(33, QLatin1Char('a')) << false << QString();
    QTest::newRow("empty after prefix") << QStringLiteral(".\\") << false << QString();
}

void TestSystemdControl::accountsMapToUsers()
{
    QFETCH(QString, account);
    QFETCH(bool, accepted);
    QFETCH(QString, user);
    QString result = QStringLiteral("left over");
    QCOMPARE(SystemdUnitFile::userForAccount(account, result), accepted);
    QCOMPARE(result, user);
}

void TestSystemdControl::unitForTheDefaultDataFolder()
{
    SystemdUnitFile unit(QStringLiteral("Voltkeep"), QStringLiteral("Voltkeep 1.30.5 Build 22 (Maintains Battery Data)"),
                         QStringLiteral("/opt/norvale/Voltkeep"));
    unit.setUser(QStringLiteral("svcuser"));
    unit.setWritableFolder(QStringLiteral("/var/lib/Norvale"));
    const QStringList lines = unit.text().split(QLatin1Char('\n'));
    // systemd makes the state directory and hands it to the user; nothing else is writable.
    QVERIFY(lines.contains(QStringLiteral("StateDirectory=Norvale")));
    QVERIFY(lines.contains(QStringLiteral("ReadWritePaths=/var/lib/Norvale")));
    QVERIFY(lines.contains(QStringLiteral("User=svcuser")));
    QVERIFY(lines.contains(QStringLiteral("ExecStart=/opt/norvale/Voltkeep")));
    QVERIFY(lines.contains(QStringLiteral("ProtectHome=yes")));
    QVERIFY(!unit.text().contains(QLatin1String("Environment=")));
    QCOMPARE(lines.filter(QStringLiteral("StateDirectory=")).size(), 1);
    QVERIFY(unit.errorText().isEmpty());

    // A program in a home folder must stay executable.
    SystemdUnitFile home(QStringLiteral("Voltkeep"), QStringLiteral("d"), QStringLiteral("/home/ops/bin/Voltkeep"));
    home.setWritableFolder(QStringLiteral("/var/lib/Norvale"));
    QVERIFY(home.text().split(QLatin1Char('\n')).contains(QStringLiteral("ProtectHome=read-only")));
    QVERIFY(!home.text().contains(QLatin1String("User=")));
}

void TestSystemdControl::unitQuotesAndEscapesValues()
{
    SystemdUnitFile unit(QStringLiteral("Voltkeep"), QStringLiteral("100% battery"),
                         QStringLiteral("/opt/Nor vale/100%/Voltkeep"));
    unit.setWritableFolder(QStringLiteral("/srv/data 1/Norvale/"));
    unit.setCommonFolderOverride(QStringLiteral("/srv/data 1"));
    const QStringList lines = unit.text().split(QLatin1Char('\n'));
    QVERIFY2(lines.contains(QStringLiteral("Description=100%% battery")), qPrintable(unit.text()));
    QVERIFY2(lines.contains(QStringLiteral("ExecStart=\"/opt/Nor vale/100%%/Voltkeep\"")), qPrintable(unit.text()));
    QVERIFY2(lines.contains(QStringLiteral("ReadWritePaths=\"/srv/data 1/Norvale\"")), qPrintable(unit.text()));
    QVERIFY2(lines.contains(QStringLiteral("Environment=\"NORVALE_COMMON_APPDATA=/srv/data 1\"")), qPrintable(unit.text()));
    QVERIFY(lines.filter(QStringLiteral("StateDirectory=")).isEmpty());
}

void TestSystemdControl::unitRefusesWhatCannotBeWritten()
{
    SystemdUnitFile relative(QStringLiteral("Voltkeep"), QStringLiteral("d"), QStringLiteral("bin/Voltkeep"));
    QCOMPARE(relative.text(), QString());
    QVERIFY(!relative.errorText().isEmpty());

    SystemdUnitFile lineBreak(QStringLiteral("Voltkeep"), QStringLiteral("d\nExecStartPre=/bin/sh"),
                              QStringLiteral("/opt/Voltkeep"));
    QCOMPARE(lineBreak.text(), QString());
    QVERIFY(!lineBreak.errorText().isEmpty());

    // systemd would not execute these however they were quoted.
    for (const char *path : {"/opt/$HOME/Voltkeep", "/opt/a\\b/Voltkeep", "/opt/\"q\"/Voltkeep", "/opt/it's/Voltkeep",
                             "/opt/`x`/Voltkeep"}) {
        SystemdUnitFile unsafe(QStringLiteral("Voltkeep"), QStringLiteral("d"), QLatin1String(path));
        QVERIFY2(unsafe.text().isEmpty(), path);
        QVERIFY(!unsafe.errorText().isEmpty());
    }

    SystemdUnitFile folder(QStringLiteral("Voltkeep"), QStringLiteral("d"), QStringLiteral("/opt/Voltkeep"));
    folder.setWritableFolder(QStringLiteral("/srv/a\rb"));
    QCOMPARE(folder.text(), QString());
}

void TestSystemdControl::installWritesAndEnablesTheUnit_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("user");
    QTest::newRow("no account") << QStringList{QStringLiteral("-i")} << QString();
    QTest::newRow("long option") << QStringList{QStringLiteral("-install")} << QString();
    QTest::newRow("account and password")
        << QStringList{QStringLiteral("-i"), QStringLiteral("svcuser"), QStringLiteral("secret")} << QStringLiteral("svcuser");
    QTest::newRow("local account") << QStringList{QStringLiteral("-i"), QStringLiteral(".\\svcuser")} << QStringLiteral("svcuser");
    QTest::newRow("LocalSystem") << QStringList{QStringLiteral("-i"), QStringLiteral("NT AUTHORITY\\LocalSystem"),
                                                QStringLiteral("ignored")}
                                 << QString();
}

void TestSystemdControl::installWritesAndEnablesTheUnit()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, user);
    const Outcome outcome = runVoltkeep(arguments);
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.err, QByteArray());
    QCOMPARE(outcome.out, "The service Voltkeep has been installed under: " + TestPaths::voltkeepBinary().toLatin1() + "\n");
    QCOMPARE(outcome.exitCode, 0);

    const QByteArray text = readUnit();
    QVERIFY(!text.contains("secret") && !text.contains("ignored"));
    const QStringList actual = linesOf(text);
    const QStringList expected = expectedUnit(user);
    for (int i = 0; i < qMin(actual.size(), expected.size()); ++i)
        QCOMPARE(actual.at(i), expected.at(i));
    QCOMPARE(actual.size(), expected.size());
    QCOMPARE(QFileInfo(unitPath()).permissions() & 0x7777, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser
                                                              | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther);

    // Written where systemd reads administrators' units, then enabled (the fake links it into the
    // target's wants) and loaded.
    QCOMPARE(m_fake->calls(), (QStringList{unitPathCall, QStringLiteral("GetUnitFileState Voltkeep.service"),
                                           unitPathCall, QStringLiteral("EnableUnitFiles Voltkeep.service false false"),
                                           QStringLiteral("Reload")}));
    QVERIFY(QFileInfo(m_fake->unitFolder() + QStringLiteral("/multi-user.target.wants/Voltkeep.service")).isSymLink());
}

void TestSystemdControl::installRefusesForeignAccounts_data()
{
    QTest::addColumn<QString>("account");
    QTest::newRow("domain") << QStringLiteral("NORVALE\\svcuser");
    QTest::newRow("line break") << QStringLiteral("svc\nExecStartPre=/bin/sh");
    QTest::newRow("space") << QStringLiteral("svc user");
}

void TestSystemdControl::installRefusesForeignAccounts()
{
    QFETCH(QString, account);
    const Outcome outcome = runVoltkeep({QStringLiteral("-i"), account, QStringLiteral("pw")});
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.out, QByteArray());
    QCOMPARE(outcome.err, QByteArray("The service Voltkeep could not be installed\n"));
    QCOMPARE(outcome.exitCode, 255);
    QVERIFY(!QFile::exists(unitPath()));
    QCOMPARE(m_fake->calls(), (QStringList{unitPathCall, QStringLiteral("GetUnitFileState Voltkeep.service")}));
}

void TestSystemdControl::installTwiceSaysAlreadyInstalled()
{
    QCOMPARE(runVoltkeep({QStringLiteral("-i")}).exitCode, 0);
    const QByteArray first = readUnit();
    m_fake->clearCalls();

    const Outcome outcome = runVoltkeep({QStringLiteral("-i"), QStringLiteral("svcuser")});
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.out, QByteArray());
    QCOMPARE(outcome.err, QByteArray("The service Voltkeep is already installed\n"));
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(readUnit(), first);
    QCOMPARE(m_fake->calls(), (QStringList{unitPathCall, QStringLiteral("GetUnitFileState Voltkeep.service")}));
}

void TestSystemdControl::installRolledBackWhenEnableFails()
{
    m_fake->refuse(QStringLiteral("EnableUnitFiles"), QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                   QStringLiteral("Access denied"));
    Outcome outcome = runVoltkeep({QStringLiteral("-i")});
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.err, QByteArray("The service Voltkeep could not be installed\n"));
    QCOMPARE(outcome.exitCode, 255);
    // Nothing is left behind that would make the next attempt "already installed".
    QVERIFY(!QFile::exists(unitPath()));
    outcome = runVoltkeep({QStringLiteral("-i")});
    QCOMPARE(outcome.err, QByteArray());
    QCOMPARE(outcome.exitCode, 0);
    QVERIFY(QFile::exists(unitPath()));
}

void TestSystemdControl::versionReportsSystemdState()
{
    const QByteArray head = "The service\n\tVoltkeep\n\t" + TestPaths::voltkeepBinary().toLatin1() + "\n\n";
    Outcome outcome = runVoltkeep({QStringLiteral("-v")});
    QCOMPARE(outcome.out, head + "is not installed and not running\n\n");
    QCOMPARE(outcome.err, QByteArray());
    QCOMPARE(outcome.exitCode, 0);

    QCOMPARE(runVoltkeep({QStringLiteral("-i")}).exitCode, 0);
    outcome = runVoltkeep({QStringLiteral("-version")});
    QCOMPARE(outcome.out, head + "is installed and not running\n\n");

    for (const char *state : {"active", "activating", "deactivating", "reloading"}) {
        m_fake->setActiveState(unitName, QLatin1String(state));
        outcome = runVoltkeep({QStringLiteral("-v")});
        QVERIFY2(outcome.out == head + "is installed and running\n\n", state);
    }
    m_fake->setActiveState(unitName, QStringLiteral("failed"));
    outcome = runVoltkeep({QStringLiteral("-v")});
    QCOMPARE(outcome.out, head + "is installed and not running\n\n");
}

void TestSystemdControl::terminateStopsARunningUnit()
{
    QCOMPARE(runVoltkeep({QStringLiteral("-i")}).exitCode, 0);
    m_fake->setActiveState(unitName, QStringLiteral("active"));
    m_fake->setStopDelay(500);
    m_fake->clearCalls();

    const Outcome outcome = runVoltkeep({QStringLiteral("-t")});
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.out, QByteArray());
    QCOMPARE(outcome.err, QByteArray());
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(m_fake->activeState(unitName), QStringLiteral("inactive"));

    // One look before the stop, then polls until it is inactive: a stop of 500 ms needs 3 to 5 of them.
    const QStringList calls = m_fake->calls();
    const int stopAt = int(calls.indexOf(QStringLiteral("StopUnit Voltkeep.service replace")));
    QVERIFY2(stopAt > 0, qPrintable(calls.join(QLatin1Char('|'))));
    QCOMPARE(calls.mid(0, stopAt).count(QStringLiteral("Get org.freedesktop.systemd1.Unit ActiveState")), 1);
    const int polls = int(calls.mid(stopAt).count(QStringLiteral("Get org.freedesktop.systemd1.Unit ActiveState")));
    QVERIFY2(polls >= 3 && polls <= 10, qPrintable(QString::number(polls)));
}

void TestSystemdControl::terminateOnAStoppedUnitWarns()
{
    QCOMPARE(runVoltkeep({QStringLiteral("-i")}).exitCode, 0);
    m_fake->clearCalls();
    for (const QString &option : {QStringLiteral("-t"), QStringLiteral("-terminate")}) {
        const Outcome outcome = runVoltkeep({option});
        QVERIFY(outcome.finished);
        QCOMPARE(outcome.out, QByteArray());
        QCOMPARE(outcome.err, QByteArray("stopping [Voltkeep.service is not active]\n"
                                         "The service could not be stopped. [Voltkeep.service is not active]\n"));
        QCOMPARE(outcome.exitCode, 255);
    }
    QVERIFY(!m_fake->calls().join(QLatin1Char('|')).contains(QLatin1String("StopUnit")));

    // A running unit whose stop systemd refuses.
    m_fake->setActiveState(unitName, QStringLiteral("active"));
    m_fake->refuse(QStringLiteral("StopUnit"), QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                   QStringLiteral("Access denied"));
    const Outcome outcome = runVoltkeep({QStringLiteral("-t")});
    QCOMPARE(outcome.err, QByteArray("stopping [Access denied]\nThe service could not be stopped. [Access denied]\n"));
    QCOMPARE(outcome.exitCode, 255);
    QCOMPARE(m_fake->activeState(unitName), QStringLiteral("active"));
}

void TestSystemdControl::terminateGivesUpAfterTenPolls()
{
    QCOMPARE(runVoltkeep({QStringLiteral("-i")}).exitCode, 0);
    m_fake->setActiveState(unitName, QStringLiteral("active"));
    m_fake->setStopDelay(-1);
    m_fake->clearCalls();

    const Outcome outcome = runVoltkeep({QStringLiteral("-t")});
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.err, QByteArray("The service could not be stopped. [Voltkeep.service is still deactivating]\n"));
    QCOMPARE(outcome.exitCode, 255);
    const QStringList calls = m_fake->calls();
    const int stopAt = int(calls.indexOf(QStringLiteral("StopUnit Voltkeep.service replace")));
    QCOMPARE(calls.mid(stopAt).count(QStringLiteral("Get org.freedesktop.systemd1.Unit ActiveState")), 10);
    // Nine pauses of 200 ms between the ten polls.
    QVERIFY2(outcome.elapsedMs >= 1800, qPrintable(QString::number(outcome.elapsedMs)));
}

void TestSystemdControl::noOptionAsksSystemdToStart()
{
    // Not installed: systemd refuses.
    Outcome outcome = runVoltkeep({});
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.out, QByteArray());
    QCOMPARE(outcome.err, QByteArray("The service Voltkeep could not start\nUse -e to run it in the foreground, -h for every option.\n"));
    QCOMPARE(outcome.exitCode, 252);

    QCOMPARE(runVoltkeep({QStringLiteral("-i")}).exitCode, 0);
    m_fake->clearCalls();
    outcome = runVoltkeep({QStringLiteral("-X"), QStringLiteral("more")});
    QCOMPARE(outcome.out, QByteArray());
    QCOMPARE(outcome.err, QByteArray());
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(m_fake->calls(), QStringList{QStringLiteral("StartUnit Voltkeep.service replace")});
    QCOMPARE(m_fake->activeState(unitName), QStringLiteral("active"));
}

void TestSystemdControl::uninstallDisablesAndRemoves()
{
    QCOMPARE(runVoltkeep({QStringLiteral("-i")}).exitCode, 0);
    m_fake->clearCalls();

    Outcome outcome = runVoltkeep({QStringLiteral("-u")});
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.out, QByteArray("The service Voltkeep has been uninstalled.\n"));
    QCOMPARE(outcome.err, QByteArray());
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(m_fake->calls(), (QStringList{unitPathCall, QStringLiteral("GetUnitFileState Voltkeep.service"),
                                           unitPathCall, QStringLiteral("DisableUnitFiles Voltkeep.service false"),
                                           QStringLiteral("Reload")}));
    QVERIFY(!QFile::exists(unitPath()));
    QVERIFY(!QFileInfo(m_fake->unitFolder() + QStringLiteral("/multi-user.target.wants/Voltkeep.service")).isSymLink());

    outcome = runVoltkeep({QStringLiteral("-uninstall")});
    QCOMPARE(outcome.out, QByteArray());
    QCOMPARE(outcome.err, QByteArray("The service Voltkeep is not installed\n"));
    QCOMPARE(outcome.exitCode, 0);

    // A refused disable leaves the unit in place.
    QCOMPARE(runVoltkeep({QStringLiteral("-i")}).exitCode, 0);
    m_fake->refuse(QStringLiteral("DisableUnitFiles"), QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                   QStringLiteral("Access denied"));
    outcome = runVoltkeep({QStringLiteral("-u")});
    QCOMPARE(outcome.err, QByteArray("The service Voltkeep could not be uninstalled\n"));
    QCOMPARE(outcome.exitCode, 255);
    QVERIFY(QFile::exists(unitPath()));
}

void TestSystemdControl::unitsItDidNotWriteAreLeftAlone_data()
{
    QTest::addColumn<QString>("installation");
    QTest::addColumn<QByteArray>("said");
    QTest::newRow("package, enabled") << QStringLiteral("package")
                                      << QByteArray("The service Voltkeep is installed by the voltkeep package: use apt remove "
                                                    "voltkeep\n");
    QTest::newRow("package, disabled") << QStringLiteral("disabled package")
                                       << QByteArray("The service Voltkeep is installed by the voltkeep package (as "
                                                     "voltkeep.service, disabled): use apt remove voltkeep\n");
    QTest::newRow("written by hand") << QStringLiteral("by hand")
                                     << QByteArray("The service Voltkeep is installed by %1, which Voltkeep -i did not "
                                                   "write: it is left as it is\n");
}

void TestSystemdControl::unitsItDidNotWriteAreLeftAlone()
{
    QFETCH(QString, installation);
    QFETCH(QByteArray, said);
    // As the package lays it out: its unit among the vendor's units, enabled through links to it.
    const QString root = m_folder->path() + QStringLiteral("/root");
    const QString vendorUnit = root + QStringLiteral("/usr/lib/systemd/system/voltkeep.service");
    QVERIFY(QDir().mkpath(QFileInfo(vendorUnit).path()));
    if (installation == QLatin1String("by hand")) {
        QFile hand(unitPath());
        QVERIFY(hand.open(QIODevice::WriteOnly));
        hand.write("[Service]\nExecStart=/opt/Voltkeep\n");
        said.replace("%1", QFileInfo(unitPath()).canonicalFilePath().toUtf8());
    } else {
        SystemdUnitFile unit(QStringLiteral("Voltkeep"), QStringLiteral("d"), QStringLiteral("/usr/sbin/Voltkeep"));
        unit.setOrigin(SystemdUnitFile::packageOrigin(QStringLiteral("voltkeep")));
        unit.setAlias(unitName);
        QFile file(vendorUnit);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(unit.text().toUtf8());
    }
    if (installation == QLatin1String("package")) {
        QVERIFY(QFile::link(vendorUnit, unitPath()));
        QVERIFY(QFile::link(vendorUnit, m_fake->unitFolder() + QStringLiteral("/multi-user.target.wants/voltkeep.service")));
    }
    const auto layout = [root] {
        QStringList entries;
        QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo entry(it.next());
            QFile file(entry.filePath());
            const QByteArray text = !entry.isSymLink() && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
            entries << entry.filePath() + QStringLiteral(" -> ") + entry.symLinkTarget() + QString::fromUtf8(text);
        }
        entries.sort();
        return entries;
    };
    const QStringList before = layout();

    for (const auto &[option, exitCode] : {std::pair{QStringLiteral("-u"), 255}, std::pair{QStringLiteral("-i"), 0}}) {
        const Outcome outcome = runVoltkeep({option});
        QVERIFY(outcome.finished);
        QCOMPARE(outcome.out, QByteArray());
        QCOMPARE(outcome.err, said);
        QCOMPARE(outcome.exitCode, exitCode);
    }
    // Asked where the units are, and nothing else: nothing disabled, enabled, written or reloaded.
    QCOMPARE(m_fake->calls(), (QStringList{unitPathCall, unitPathCall}));
    QCOMPARE(layout(), before);
}

void TestSystemdControl::controlsSystemdLacksAnswerFalse()
{
    QCOMPARE(runVoltkeep({QStringLiteral("-i")}).exitCode, 0);
    m_fake->setActiveState(unitName, QStringLiteral("active"));
    m_fake->clearCalls();
    for (const QStringList &arguments : {QStringList{QStringLiteral("-p")}, QStringList{QStringLiteral("-r")},
                                         QStringList{QStringLiteral("-c"), QStringLiteral("5")}}) {
        const Outcome outcome = runVoltkeep(arguments);
        QVERIFY(outcome.finished);
        QCOMPARE(outcome.out, QByteArray());
        QCOMPARE(outcome.err, QByteArray());
        QCOMPARE(outcome.exitCode, 0);
    }
    // Only the command option looks whether the service runs; nothing is asked of systemd to act.
    QCOMPARE(m_fake->calls(), (QStringList{QStringLiteral("GetUnit Voltkeep.service"),
                                           QStringLiteral("Get org.freedesktop.systemd1.Unit ActiveState")}));
    QCOMPARE(m_fake->activeState(unitName), QStringLiteral("active"));
}

void TestSystemdControl::failuresWithoutManagerOrBus_data()
{
    QTest::addColumn<bool>("busRunning");
    QTest::newRow("no manager on the bus") << true;
    QTest::newRow("no bus") << false;
}

void TestSystemdControl::failuresWithoutManagerOrBus()
{
    QFETCH(bool, busRunning);
    m_fake.reset();
    const QString address = busRunning ? m_bus->address()
                                       : QStringLiteral("unix:path=") + m_folder->path() + QStringLiteral("/no_bus_socket");
    const QByteArray program = TestPaths::voltkeepBinary().toLatin1();

    Outcome outcome = runVoltkeep({QStringLiteral("-i"), QStringLiteral("svcuser"), QStringLiteral("pw")}, address);
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.out, QByteArray());
    QCOMPARE(outcome.err, QByteArray("The service Voltkeep could not be installed\n"));
    QCOMPARE(outcome.exitCode, 255);

    outcome = runVoltkeep({QStringLiteral("-u")}, address);
    QCOMPARE(outcome.out, QByteArray());
    QCOMPARE(outcome.err, QByteArray("The service Voltkeep is not installed\n"));
    QCOMPARE(outcome.exitCode, 0);

    outcome = runVoltkeep({QStringLiteral("-v")}, address);
    QCOMPARE(outcome.out, "The service\n\tVoltkeep\n\t" + program + "\n\nis not installed and not running\n\n");
    QCOMPARE(outcome.err, QByteArray());
    QCOMPARE(outcome.exitCode, 0);

    outcome = runVoltkeep({QStringLiteral("-t")}, address);
    QCOMPARE(outcome.out, QByteArray());
    QVERIFY2(outcome.err.startsWith("The service could not be stopped."), outcome.err.constData());
    QCOMPARE(outcome.err.count('\n'), 1);
    QCOMPARE(outcome.exitCode, 255);

    for (const QString &option : {QStringLiteral("-p"), QStringLiteral("-r"), QStringLiteral("-c")}) {
        outcome = runVoltkeep({option}, address);
        QCOMPARE(outcome.out + outcome.err, QByteArray());
        QCOMPARE(outcome.exitCode, 0);
    }

    outcome = runVoltkeep({}, address);
    QCOMPARE(outcome.out, QByteArray());
    QCOMPARE(outcome.err, QByteArray("The service Voltkeep could not start\nUse -e to run it in the foreground, -h for every option.\n"));
    QCOMPARE(outcome.exitCode, 252);

    QVERIFY(QDir(m_folder->path() + QStringLiteral("/root/etc/systemd/system")).entryList(QDir::Files).isEmpty());
}

void TestSystemdControl::systemdAnalyzeAcceptsTheUnit_data()
{
    QTest::addColumn<QString>("source");
    QTest::newRow("written by -i") << QStringLiteral("program");
    QTest::newRow("default data folder, with user") << QStringLiteral("class");
    QTest::newRow("program path that needs quoting") << QStringLiteral("odd path");
}

void TestSystemdControl::systemdAnalyzeAcceptsTheUnit()
{
    QFETCH(QString, source);
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    QVERIFY2(!analyze.isEmpty(), "systemd-analyze (Debian's systemd) is missing");

    QString path;
    if (source == QLatin1String("program")) {
        QCOMPARE(runVoltkeep({QStringLiteral("-i"), QStringLiteral("svcuser")}).exitCode, 0);
        path = unitPath();
    } else {
        QString program = programPath();
        if (source == QLatin1String("odd path")) {
            // systemd must find the program behind the quotes and escapes.
            const QString folder = m_folder->path() + QStringLiteral("/Nor vale 100%");
            QVERIFY(QDir().mkpath(folder));
            program = folder + QStringLiteral("/Volt keep");
            QVERIFY(QFile::link(programPath(), program));
        }
        SystemdUnitFile unit(QStringLiteral("Voltkeep"), QStringLiteral("Voltkeep 1.30.5 Build 22 (Maintains Battery Data)"),
                             program);
        unit.setUser(QStringLiteral("svcuser"));
        unit.setWritableFolder(QStringLiteral("/var/lib/Norvale"));
        path = m_folder->path() + QStringLiteral("/Voltkeep.service");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(unit.text().toUtf8());
    }

    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(analyze, {QStringLiteral("verify"), path});
    QVERIFY(process.waitForFinished(60000));
    const QString output = QString::fromUtf8(process.readAll());
    QCOMPARE(process.exitCode(), 0);
    // It exits with 0 even when it dislikes a value; every complaint names the file.
    QVERIFY2(!output.contains(QLatin1String("Voltkeep")), qPrintable(output));
}

QTEST_GUILESS_MAIN(TestSystemdControl)
#include "tst_systemdcontrol.moc"
