#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace NVL::Engineering::VK {

// The words of one command after its name, split into positional arguments and options that take a
// fixed number of values ("--weekly DAY TIME"). "--" ends the options. Anything unknown, a value
// missing or an option given twice that may not be throws ToolError(Usage).
class ArgumentList
{
public:
    struct Option
    {
        QString name;       // without the dashes
        int values = 0;
        bool repeatable = false;
    };

    ArgumentList(const QString &command, const QStringList &words, const QList<Option> &options);

    bool has(const QString &name) const;
    // The values of the option's first occurrence; empty when it was not given.
    QStringList value(const QString &name) const;
    // The values of every occurrence, in order.
    QList<QStringList> values(const QString &name) const;
    const QStringList &positional() const { return m_positional; }
    // Throws unless exactly `count` positional arguments were given; `names` says what they are.
    void expectPositional(int count, const QString &names) const;
    // The first of these options that was given; throws if more than one was.
    QString oneOf(const QStringList &names) const;

private:
    QString m_command;
    QStringList m_positional;
    QList<QPair<QString, QStringList>> m_given;
};

} // namespace NVL::Engineering::VK
