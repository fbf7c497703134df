#include "SystemdUnitFile.h"

#include <QDir>
#include <QFile>
#include <QHash>
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
void SystemdUnitFile::setOrigin(const QString &origin) { m_origin = origin; }
void SystemdUnitFile::setAlias(const QString &alias) { m_alias = alias; }

QString SystemdUnitFile::installOrigin(const QString &serviceName)
{
    return QStringLiteral("Installed by %1 -i; removed by %1 -u.").arg(serviceName);
}

QString SystemdUnitFile::packageOrigin(const QString &package)
{
    return QStringLiteral("Installed by the %1 package: systemctl status %1.").arg(package);
}

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
    for (const QString &value : {m_serviceName, m_description, m_programPath, m_user, m_writableFolder, m_commonOverride,
                                 m_origin, m_alias})
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
    static const QRegularExpression unitName(QStringLiteral("^[A-Za-z0-9:_.-]+\\.service$"));
    if (!m_alias.isEmpty() && !unitName.match(m_alias).hasMatch())
        return fail(QStringLiteral("the alias %1 is no service unit name").arg(m_alias));

    QFile templateFile(QStringLiteral(":/systemd/voltkeep.service.in"));
    if (!templateFile.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("the unit template is missing from the program"));
    const bool stateDirectory = m_writableFolder.startsWith(stateRoot) && m_writableFolder.size() > stateRoot.size();
    const QHash<QString, QString> values{
        {QStringLiteral("ORIGIN"), m_origin.isEmpty() ? installOrigin(m_serviceName) : m_origin},
        {QStringLiteral("DESCRIPTION"), escapeSpecifiers(m_description)},
        {QStringLiteral("PROGRAM"), quotedWord(m_programPath)},
        {QStringLiteral("USER"), m_user},
        {QStringLiteral("ENVIRONMENT"),
         m_commonOverride.isEmpty() ? QString() : quotedWord(QStringLiteral("NORVALE_COMMON_APPDATA=") + m_commonOverride)},
        {QStringLiteral("STATE_DIRECTORY"), stateDirectory ? quotedWord(m_writableFolder.mid(stateRoot.size())) : QString()},
        {QStringLiteral("WRITABLE_FOLDER"), m_writableFolder.isEmpty() ? QString() : quotedWord(m_writableFolder)},
        {QStringLiteral("PROTECT_HOME"), isUnderHomes(m_programPath) || isUnderHomes(m_writableFolder)
                                             ? QStringLiteral("read-only")
                                             : QStringLiteral("yes")},
        {QStringLiteral("SYSLOG_IDENTIFIER"), quotedWord(m_serviceName)},
        {QStringLiteral("ALIAS"), m_alias},
    };

    static const QRegularExpression placeholder(QStringLiteral("@([A-Z_]+)@"));
    QStringList lines;
    QString unitTemplate = QString::fromUtf8(templateFile.readAll());
    if (unitTemplate.endsWith(QLatin1Char('\n')))
        unitTemplate.chop(1);
    for (const QString &line : unitTemplate.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("##")))
            continue;
        QString filled = line;
        bool empty = false;
        for (const QRegularExpressionMatch &match : placeholder.globalMatch(line)) {
            if (!values.contains(match.captured(1)))
                return fail(QStringLiteral("the unit template names an unknown value %1").arg(match.captured(0)));
            const QString value = values.value(match.captured(1));
            empty = empty || value.isEmpty();
            filled.replace(match.captured(0), value);
        }
        if (!empty)
            lines << filled;
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

} // namespace NVL::Engineering::VK
