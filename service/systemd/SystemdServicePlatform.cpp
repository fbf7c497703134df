#include "SystemdServicePlatform.h"

#include "ApplicationDataFolder.h"
#include "StopPoll.h"
#include "SystemdManager.h"
#include "SystemdServiceRun.h"
#include "SystemdUnitFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QThread>

namespace NVL::Engineering::VK {

namespace {

const QString administratorUnits = QStringLiteral("/etc/systemd/system");

QString ownProgramPath()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
}

bool isStopped(const QString &activeState)
{
    return activeState == QLatin1String("inactive") || activeState == QLatin1String("failed");
}

} // namespace

bool SystemdServicePlatform::startedBySystemd()
{
    return !qEnvironmentVariableIsEmpty("NOTIFY_SOCKET");
}

bool SystemdServicePlatform::isReachable()
{
    if (startedBySystemd())
        return true;
    return SystemdManager().isPresent();
}

bool SystemdServicePlatform::fail(const QString &error)
{
    m_error = error;
    return false;
}

QString SystemdServicePlatform::lastErrorText() const
{
    return m_error;
}

bool SystemdServicePlatform::refuseStop(const QString &error)
{
    qWarning("stopping [%s]", qPrintable(error));
    return fail(error);
}

bool SystemdServicePlatform::unitFolder(QString &folder)
{
    SystemdManager manager;
    QStringList folders;
    if (!manager.unitPath(folders))
        return fail(manager.errorText());
    // The manager lists its folders; the administrators' one is /etc/systemd/system below its root.
    folder = administratorUnits;
    for (const QString &candidate : std::as_const(folders)) {
        if (QDir::cleanPath(candidate).endsWith(administratorUnits)) {
            folder = QDir::cleanPath(candidate);
            break;
        }
    }
    return true;
}

bool SystemdServicePlatform::install(const QString &name, const QString &description, ServiceBase::StartupType,
                                     const QString &account, const QString &)
{
    // systemd starts an enabled unit at boot whatever the start type; the password has no use here
    // because systemd starts services as any user without one.
    QString user;
    if (!SystemdUnitFile::userForAccount(account, user))
        return fail(QStringLiteral("%1 is no local user name").arg(account));

    SystemdUnitFile unit(name, description, ownProgramPath());
    unit.setUser(user);
    // The service writes its own data folder and the configuration file in the sibling folder.
    const QString common = commonApplicationDataFolder();
    const QString organisation = QCoreApplication::organizationName();
    unit.setWritableFolder(organisation.isEmpty() ? common : common + QLatin1Char('/') + organisation);
    if (!qEnvironmentVariableIsEmpty("NORVALE_COMMON_APPDATA"))
        unit.setCommonFolderOverride(common);
    const QString text = unit.text();
    if (text.isEmpty())
        return fail(unit.errorText());

    QString folder;
    if (!unitFolder(folder))
        return false;
    const QString unitName = SystemdUnitFile::unitName(name);
    const QString path = folder + QLatin1Char('/') + unitName;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                | QFileDevice::ReadOther)
        || !file.commit())
        return fail(QStringLiteral("%1: %2").arg(path, file.errorString()));

    SystemdManager manager;
    if (manager.enableUnitFiles({unitName}) && manager.reload())
        return true;
    // Half an installation would answer "already installed" from now on: take it back.
    const QString error = manager.errorText();
    manager.disableUnitFiles({unitName});
    QFile::remove(path);
    manager.reload();
    return fail(error);
}

bool SystemdServicePlatform::uninstall(const QString &name)
{
    const QString unitName = SystemdUnitFile::unitName(name);
    QString folder;
    if (!unitFolder(folder))
        return false;
    SystemdManager manager;
    if (!manager.disableUnitFiles({unitName}))
        return fail(manager.errorText());
    const QString path = folder + QLatin1Char('/') + unitName;
    if (!QFile::exists(path))
        return fail(QStringLiteral("%1 was not installed by this program").arg(unitName));
    QFile file(path);
    if (!file.remove())
        return fail(QStringLiteral("%1: %2").arg(path, file.errorString()));
    if (!manager.reload())
        return fail(manager.errorText());
    return true;
}

bool SystemdServicePlatform::isInstalled(const QString &name)
{
    SystemdManager manager;
    QString state;
    if (!manager.unitFileState(SystemdUnitFile::unitName(name), state))
        return fail(manager.errorText());
    return true;
}

bool SystemdServicePlatform::isRunning(const QString &name)
{
    SystemdManager manager;
    QString state;
    if (!manager.activeState(SystemdUnitFile::unitName(name), state))
        return fail(manager.errorText());
    return !isStopped(state);
}

bool SystemdServicePlatform::startService(const QString &name, const QStringList &)
{
    // systemd starts the unit's command line as written; it passes no arguments of the caller.
    SystemdManager manager;
    if (!manager.startUnit(SystemdUnitFile::unitName(name)))
        return fail(manager.errorText());
    return true;
}

bool SystemdServicePlatform::stopService(const QString &name)
{
    const QString unitName = SystemdUnitFile::unitName(name);
    SystemdManager manager;
    QString state;
    if (!manager.activeState(unitName, state))
        return fail(manager.errorText());
    // systemd accepts a stop of a stopped unit; the service manager of the command line refuses it.
    if (isStopped(state))
        return refuseStop(QStringLiteral("%1 is not active").arg(unitName));
    if (!manager.stopUnit(unitName))
        return refuseStop(manager.errorText());
    const auto look = [&manager, &unitName, &state] {
        if (!manager.activeState(unitName, state))
            return StopPoll::LookFailed;
        return isStopped(state) ? StopPoll::Stopped : StopPoll::StillRunning;
    };
    switch (StopPoll::watch(look, [](std::uint32_t ms) { QThread::msleep(ms); }, false)) {
    case StopPoll::Stopped: return true;
    case StopPoll::LookFailed: return fail(manager.errorText());
    case StopPoll::StillRunning: break;
    }
    return fail(QStringLiteral("%1 is still %2").arg(unitName, state));
}

bool SystemdServicePlatform::pauseService(const QString &)
{
    return fail(QStringLiteral("systemd cannot pause this service"));
}

bool SystemdServicePlatform::resumeService(const QString &)
{
    return fail(QStringLiteral("systemd cannot resume this service"));
}

bool SystemdServicePlatform::sendCommand(const QString &, int)
{
    return fail(QStringLiteral("systemd cannot send commands to this service"));
}

bool SystemdServicePlatform::runAsService(ServiceBase &service)
{
    if (startedBySystemd())
        return SystemdServiceRun(service).run();
    // From a console: systemd starts the installed unit in a process of its own.
    return startService(service.serviceName(), service.arguments().mid(2));
}

} // namespace NVL::Engineering::VK
