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

ConfigTool::ConfigTool(const QString &configurationFile, const QString &serverSettingsFile, QTextStream &out,
                       QTextStream &err)
    : m_path(configurationFile)
    , m_serverSettingsPath(serverSettingsFile)
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
        collection(command, rest, {{QStringLiteral("add"), &ConfigTool::addRecipient},
                                   {QStringLiteral("remove"), &ConfigTool::removeRecipient},
                                   {QStringLiteral("list"), &ConfigTool::listRecipients}});
    else if (command == QLatin1String("notification"))
        collection(command, rest, {{QStringLiteral("add"), &ConfigTool::addNotification},
                                   {QStringLiteral("remove"), &ConfigTool::removeNotification},
                                   {QStringLiteral("list"), &ConfigTool::listNotifications}});
    else if (command == QLatin1String("type"))
        collection(command, rest, {{QStringLiteral("set"), &ConfigTool::setType},
                                   {QStringLiteral("remove"), &ConfigTool::removeType},
                                   {QStringLiteral("list"), &ConfigTool::listTypes}});
    else if (command == QLatin1String("webhook"))
        collection(command, rest, {{QStringLiteral("add"), &ConfigTool::addWebhook},
                                   {QStringLiteral("remove"), &ConfigTool::removeWebhook},
                                   {QStringLiteral("list"), &ConfigTool::listWebhooks},
                                   {QStringLiteral("test"), &ConfigTool::testWebhook}});
    else
        throw ToolError{ExitCode::Usage, QStringLiteral("unknown command %1 (see vkconfig --help)").arg(command)};
}

void ConfigTool::collection(const QString &noun, const QStringList &words, const QList<QPair<QString, Command>> &verbs)
{
    const QString action = words.value(0);
    QStringList names;
    for (const auto &[verb, command] : verbs) {
        if (verb == action) {
            (this->*command)(words.mid(1));
            return;
        }
        names << verb;
    }
    const QString choices = names.mid(0, names.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" or ") + names.last();
    throw ToolError{ExitCode::Usage, QStringLiteral("%1: %2 (see vkconfig %1 --help)").arg(noun, choices)};
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
