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

// A unit file's first line, as written: "# " and its origin.
QString firstLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readLine()).trimmed();
}

QString originLine(const QString &origin)
{
    return QStringLiteral("# ") + origin;
}

// The unit file systemd loads for a name: in the first of its folders that has one (the package's
// alias is a link there); empty where none has.
QString loadedUnit(const QStringList &folders, const QString &unitName)
{
    for (const QString &folder : folders) {
        const QFileInfo file(QDir::cleanPath(folder) + QLatin1Char('/') + unitName);
        if (file.exists() || file.isSymLink())
            return file.filePath();
    }
    return QString();
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

QString SystemdServicePlatform::foreignInstallation(const QString &name)
{
    const QString package = QStringLiteral(VK_PACKAGE_NAME);
    QStringList folders;
    if (!SystemdManager().unitPath(folders))
        return QString();
    const QString packageLine = originLine(SystemdUnitFile::packageOrigin(package));
    const QString path = loadedUnit(folders, SystemdUnitFile::unitName(name));
    if (!path.isEmpty()) {
        const QString origin = firstLine(path);
        if (origin == originLine(SystemdUnitFile::installOrigin(name)) && !QFileInfo(path).isSymLink())
            return QString();
        if (origin == packageLine)
            return QStringLiteral("installed by the %1 package: use apt remove %1").arg(package);
        const QString target = QFileInfo(path).canonicalFilePath();
        return QStringLiteral("installed by %1, which %2 -i did not write: it is left as it is")
            .arg(target.isEmpty() ? path : target, name);
    }
    // A package whose unit is disabled has no alias: the same server under a second unit would fight
    // it for the radio port.
    const QString packageUnit = loadedUnit(folders, SystemdUnitFile::unitName(package));
    if (!packageUnit.isEmpty() && firstLine(packageUnit) == packageLine)
        return QStringLiteral("installed by the %1 package (as %2, disabled): use apt remove %1")
            .arg(package, SystemdUnitFile::unitName(package));
    return QString();
}

bool SystemdServicePlatform::uninstall(const QString &name)
{
    const QString unitName = SystemdUnitFile::unitName(name);
    QString folder;
    if (!unitFolder(folder))
        return false;
    const QString path = folder + QLatin1Char('/') + unitName;
    if (QFileInfo(path).isSymLink() || firstLine(path) != originLine(SystemdUnitFile::installOrigin(name)))
        return fail(QStringLiteral("%1 was not installed by this program").arg(unitName));
    SystemdManager manager;
    if (!manager.disableUnitFiles({unitName}))
        return fail(manager.errorText());
    // Disabled already: systemd is reloaded even when the file stays, so that it forgets the links.
    QFile file(path);
    const bool removed = file.remove();
    const QString removeError = file.errorString();
    if (!manager.reload())
        return fail(manager.errorText());
    if (!removed)
        return fail(QStringLiteral("%1: %2").arg(path, removeError));
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
