#include "ArgumentList.h"

#include "ToolError.h"

#include <algorithm>

namespace NVL::Engineering::VK {

namespace {

[[noreturn]] void usage(const QString &command, const QString &problem)
{
    throw ToolError{ExitCode::Usage, QStringLiteral("%1: %2 (see vkconfig %1 --help)").arg(command, problem)};
}

} // namespace

ArgumentList::ArgumentList(const QString &command, const QStringList &words, const QList<Option> &options)
    : m_command(command)
{
    bool optionsEnded = false;
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QString &word = words.at(i);
        if (optionsEnded || !word.startsWith(QLatin1Char('-')) || word == QLatin1String("-")) {
            // Not echoed in errors: a password typed here by mistake must not land in a log.
            m_positional << word;
            continue;
        }
        if (word == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        const QString name = word.mid(word.startsWith(QLatin1String("--")) ? 2 : 1);
        const auto option = std::find_if(options.cbegin(), options.cend(), [&name](const Option &o) { return o.name == name; });
        if (name.contains(QLatin1Char('=')) && option == options.cend())
            usage(command, QStringLiteral("options take their values as separate words: %1")
                               .arg(word.left(word.indexOf(QLatin1Char('=')))));
        if (option == options.cend())
            usage(command, QStringLiteral("unknown option %1").arg(word));
        if (!option->repeatable && has(name))
            usage(command, QStringLiteral("--%1 given twice").arg(name));
        if (i + option->values >= words.size())
            usage(command, QStringLiteral("--%1 needs %2 value(s)").arg(name).arg(option->values));
        m_given.append({name, words.mid(i + 1, option->values)});
        i += option->values;
    }
}

bool ArgumentList::has(const QString &name) const
{
    return std::any_of(m_given.cbegin(), m_given.cend(), [&name](const auto &given) { return given.first == name; });
}

QStringList ArgumentList::value(const QString &name) const
{
    const QList<QStringList> all = values(name);
    return all.isEmpty() ? QStringList() : all.first();
}

QList<QStringList> ArgumentList::values(const QString &name) const
{
    QList<QStringList> result;
    for (const auto &given : m_given)
        if (given.first == name)
            result << given.second;
    return result;
}

void ArgumentList::expectPositional(int count, const QString &names) const
{
    if (m_positional.size() < count)
        usage(m_command, count == 1 ? QStringLiteral("%1 is missing").arg(names)
                                    : QStringLiteral("%1 are needed").arg(names));
    if (m_positional.size() > count)
        usage(m_command, count == 0 ? QStringLiteral("takes no arguments besides its options")
                                    : QStringLiteral("takes only %1; more was given").arg(names));
}

QString ArgumentList::oneOf(const QStringList &names) const
{
    QStringList given;
    for (const QString &name : names)
        if (has(name))
            given << QStringLiteral("--") + name;
    if (given.size() > 1)
        usage(m_command, QStringLiteral("%1 exclude each other").arg(given.join(QStringLiteral(" and "))));
    return given.isEmpty() ? QString() : given.first().mid(2);
}

} // namespace NVL::Engineering::VK
