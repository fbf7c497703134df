#include "SystemdUnitFile.h"

#include <QDir>
#include <QRegularExpression>
#include <QStringList>

namespace NVL::Engineering::VK {

namespace {

const QString stateRoot = QStringLiteral("/var/lib/");

bool hasControlCharacter(const QString &value)
{
    for (const QChar c : value)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    return false;
}

// systemd expands %-specifiers in nearly every setting.
QString escapeSpecifiers(QString value)
{
    return value.replace(QLatin1Char('%'), QStringLiteral("%%"));
}

// One word of a setting that splits on white space and removes quotes.
QString quotedWord(const QString &value)
{
    static const QRegularExpression needsQuotes(QStringLiteral("[\\s\"'\\\\]"));
    QString word = escapeSpecifiers(value);
    if (!word.contains(needsQuotes))
        return word;
    word.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    word.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return QLatin1Char('"') + word + QLatin1Char('"');
}

bool isUnderHomes(const QString &path)
{
    for (const char *root : {"/home", "/root", "/run/user"}) {
        const QString r = QLatin1String(root);
        if (path == r || path.startsWith(r + QLatin1Char('/')))
            return true;
    }
    return false;
}

} // namespace

SystemdUnitFile::SystemdUnitFile(const QString &serviceName, const QString &description, const QString &programPath)
    : m_serviceName(serviceName)
    , m_description(description)
    , m_programPath(programPath)
{
}

void SystemdUnitFile::setUser(const QString &user) { m_user = user; }
void SystemdUnitFile::setWritableFolder(const QString &folder) { m_writableFolder = QDir::cleanPath(folder); }
void SystemdUnitFile::setCommonFolderOverride(const QString &commonFolder) { m_commonOverride = commonFolder; }

bool SystemdUnitFile::userForAccount(const QString &account, QString &user)
{
    user.clear();
    if (account.isEmpty())
        return true;
    // The Windows rules first: a bare name is a local account, and whatever ends in \LocalSystem is the
    // built-in system account, which is root here.
    const QString qualified = account.contains(QLatin1Char('\\')) ? account : QStringLiteral(".\\") + account;
    if (qualified.endsWith(QLatin1String("\\LocalSystem")))
        return true;
    if (!qualified.startsWith(QLatin1String(".\\")))
        return false;
    // What systemd accepts for User=: a conservative user name or a numeric id.
    static const QRegularExpression validUser(QStringLiteral("^(?:[A-Za-z_][A-Za-z0-9_.-]{0,30}\\$?|[0-9]{1,10})$"));
    const QString name = qualified.mid(2);
    if (!validUser.match(name).hasMatch())
        return false;
    user = name;
    return true;
}

QString SystemdUnitFile::text() const
{
    m_error.clear();
    const auto fail = [this](const QString &error) {
        m_error = error;
        return QString();
    };
    for (const QString &value : {m_serviceName, m_description, m_programPath, m_user, m_writableFolder, m_commonOverride})
        if (hasControlCharacter(value))
            return fail(QStringLiteral("a control character in \"%1\"").arg(value.simplified()));
    if (m_serviceName.isEmpty() || m_serviceName.contains(QLatin1Char('/')))
        return fail(QStringLiteral("the service name is no unit name"));
    if (!QDir::isAbsolutePath(m_programPath))
        return fail(QStringLiteral("the program path %1 is not absolute").arg(m_programPath));
    // systemd refuses to execute a path with any of these, however it is quoted.
    static const QRegularExpression unsafeInCommand(QStringLiteral("[\"'\\\\`$]"));
    if (m_programPath.contains(unsafeInCommand))
        return fail(QStringLiteral("systemd does not start a program whose path contains any of \" ' \\ ` $"));
    if (!m_writableFolder.isEmpty() && !QDir::isAbsolutePath(m_writableFolder))
        return fail(QStringLiteral("the data folder %1 is not absolute").arg(m_writableFolder));

    QStringList lines;
    lines << QStringLiteral("# Installed by %1 -i; removed by %1 -u.").arg(m_serviceName);
    lines << QStringLiteral("[Unit]");
    lines << QStringLiteral("Description=") + escapeSpecifiers(m_description);
    lines << QStringLiteral("After=network.target");
    lines << QString();
    lines << QStringLiteral("[Service]");
    lines << QStringLiteral("Type=notify");
    lines << QStringLiteral("ExecStart=") + quotedWord(m_programPath);
    lines << QStringLiteral("Restart=on-failure");
    if (!m_user.isEmpty())
        lines << QStringLiteral("User=") + m_user;
    if (!m_commonOverride.isEmpty())
        lines << QStringLiteral("Environment=") + quotedWord(QStringLiteral("NORVALE_COMMON_APPDATA=") + m_commonOverride);
    // A state directory is created by systemd and handed to the service's user, also on first start.
    if (m_writableFolder.startsWith(stateRoot) && m_writableFolder.size() > stateRoot.size())
        lines << QStringLiteral("StateDirectory=") + quotedWord(m_writableFolder.mid(stateRoot.size()));
    // The server writes nothing but its data folder and the configuration file beside it; it reads
    // its program and libraries and needs the network.
    lines << QStringLiteral("NoNewPrivileges=yes");
    lines << QStringLiteral("ProtectSystem=strict");
    if (!m_writableFolder.isEmpty())
        lines << QStringLiteral("ReadWritePaths=") + quotedWord(m_writableFolder);
    // A program or data folder inside a home folder must stay reachable.
    lines << (isUnderHomes(m_programPath) || isUnderHomes(m_writableFolder) ? QStringLiteral("ProtectHome=read-only")
                                                                            : QStringLiteral("ProtectHome=yes"));
    lines << QStringLiteral("PrivateTmp=yes");
    lines << QStringLiteral("# The event loop sends the watchdog signal, but a mail delivery blocks it for a whole SMTP");
    lines << QStringLiteral("# session (up to 5 s to connect, 5 s for each reply and 60 s for each write), and notifications");
    lines << QStringLiteral("# that fall due together are delivered one after another: only a loop silent for longer is stuck.");
    lines << QStringLiteral("WatchdogSec=15min");
    lines << QStringLiteral("SyslogIdentifier=") + quotedWord(m_serviceName);
    lines << QString();
    lines << QStringLiteral("[Install]");
    lines << QStringLiteral("WantedBy=multi-user.target");
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

} // namespace NVL::Engineering::VK
