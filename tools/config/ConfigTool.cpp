#include "ConfigTool.h"

#include "HelpText.h"

#include <ConfigurationFile.h>
#include <SingleInstanceLock.h>

#include <QFileInfo>

#include <algorithm>

#include <exception>

namespace NVL::Engineering::VK {

namespace {

bool isHelp(const QString &word)
{
    return word == QLatin1String("--help") || word == QLatin1String("-h");
}

} // namespace

ConfigTool::ConfigTool(const QString &configurationFile, QTextStream &out, QTextStream &err)
    : m_path(configurationFile)
    , m_out(out)
    , m_err(err)
{
}

ConfigTool::~ConfigTool() = default;

int ConfigTool::run(const QStringList &arguments)
{
    try {
        dispatch(arguments);
        m_out.flush();
        return int(ExitCode::Ok);
    } catch (const ToolError &error) {
        m_out.flush();
        m_err << "vkconfig: " << error.message << Qt::endl;
        return int(error.code);
    }
}

void ConfigTool::dispatch(const QStringList &words)
{
    if (words.isEmpty())
        throw ToolError{ExitCode::Usage, QStringLiteral("no command given (see vkconfig --help)")};
    // Before "--" only: a recipient may well be called "-h" after it.
    const QStringList options = words.mid(0, words.indexOf(QStringLiteral("--")));
    if (words.first() == QLatin1String("help") || std::any_of(options.cbegin(), options.cend(), isHelp)) {
        printHelp(words.first() == QLatin1String("help") ? words.mid(1) : words);
        return;
    }
    const QString command = words.first();
    const QStringList rest = words.mid(1);
    if (command == QLatin1String("show"))
        show(rest);
    else if (command == QLatin1String("smtp"))
        smtp(rest);
    else if (command == QLatin1String("test-mail"))
        testMail(rest);
    else if (command == QLatin1String("recipient"))
        collection(command, rest, &ConfigTool::addRecipient, &ConfigTool::removeRecipient, &ConfigTool::listRecipients);
    else if (command == QLatin1String("notification"))
        collection(command, rest, &ConfigTool::addNotification, &ConfigTool::removeNotification,
                   &ConfigTool::listNotifications);
    else
        throw ToolError{ExitCode::Usage, QStringLiteral("unknown command %1 (see vkconfig --help)").arg(command)};
}

void ConfigTool::collection(const QString &noun, const QStringList &words, Command add, Command remove, Command list)
{
    const QString action = words.value(0);
    const Command command = action == QLatin1String("add")      ? add
                            : action == QLatin1String("remove") ? remove
                            : action == QLatin1String("list")   ? list
                                                                : nullptr;
    if (!command)
        throw ToolError{ExitCode::Usage, QStringLiteral("%1: add, remove or list (see vkconfig %1 --help)").arg(noun)};
    (this->*command)(words.mid(1));
}

void ConfigTool::printHelp(const QStringList &words)
{
    m_out << helpText(words.isEmpty() || words.first().startsWith(QLatin1Char('-')) ? QString() : words.first());
}

void ConfigTool::read(const std::function<void(const ConfigurationFile &)> &section) const
{
    try {
        section(ConfigurationFile(m_path));
    } catch (const std::exception &error) {
        // Reading makes a missing file with the defaults; when even that failed, say so.
        if (!QFileInfo::exists(m_path))
            throw ToolError{ExitCode::Unreadable,
                            QStringLiteral("cannot create %1 (run as root or as the server's user)").arg(m_path)};
        throw ToolError{ExitCode::Unreadable,
                        QStringLiteral("cannot read %1: %2").arg(m_path, QString::fromUtf8(error.what()))};
    }
}

void ConfigTool::write(const std::function<bool(const ConfigurationFile &)> &change) const
{
    bool written = false;
    try {
        written = change(ConfigurationFile(m_path));
    } catch (const std::exception &error) {
        throw ToolError{ExitCode::Unwritable, QStringLiteral("%1 was not written (%2); it is as it was")
                                                  .arg(m_path, QString::fromUtf8(error.what()))};
    }
    if (!written)
        throw ToolError{ExitCode::Unwritable,
                        QStringLiteral("%1 could not be written (permission or disk space); it is as it was").arg(m_path)};
}

void ConfigTool::lockForChange()
{
    m_lock = std::make_unique<SingleInstanceLock>();
    if (!m_lock->tryLock())
        throw ToolError{ExitCode::Locked, QStringLiteral("Bellwright (or another vkconfig) is editing the configuration "
                                                         "on this machine; close it and try again")};
}

} // namespace NVL::Engineering::VK
