#include "TypeNames.h"

#include <QRegularExpression>
#include <QSettings>

namespace NVL::Engineering::VK {

TypeNames TypeNames::read(QSettings &settings, QStringList &problems)
{
    TypeNames result;
    settings.beginGroup(QStringLiteral("types"));
    const QStringList keys = settings.childKeys();
    QMap<quint32, QString> named;
    for (const QString &key : keys) {
        const QVariant value = settings.value(key);
        // QSettings splits an unquoted value at its commas: the name is the parts joined again.
        const QString name = (value.typeId() == QMetaType::QStringList ? value.toStringList().join(QStringLiteral(", "))
                                                                        : value.toString())
                                 .trimmed();
        const std::optional<quint32> code = parseCode(key);
        QString problem;
        if (!code)
            problem = QStringLiteral("%1 is no type code (0x and up to 8 hex digits, such as 0x00c10100)").arg(key);
        else if (named.contains(*code))
            problem = QStringLiteral("%1 names %2, which another key names already").arg(key, codeText(*code));
        else if (const QString why = nameProblem(name); !why.isEmpty())
            problem = QStringLiteral("%1: %2").arg(key, why);
        if (!problem.isEmpty())
            problems << QStringLiteral("[types] %1; left out").arg(problem);
        else
            named.insert(*code, name);
    }
    settings.endGroup();
    // The lowest codes are kept, so that the same file keeps the same names.
    if (named.size() > MostNames) {
        problems << QStringLiteral("[types] names %1 types, more than %2; those past the %2 lowest codes are left out")
                        .arg(named.size())
                        .arg(MostNames);
        while (named.size() > MostNames)
            named.erase(std::prev(named.end()));
    }
    result = TypeNames(named);
    return result;
}

TypeNames::TypeNames(const QMap<quint32, QString> &names) : m_names(names)
{
    for (auto it = names.cbegin(); it != names.cend(); ++it)
        m_utf8.insert(it.key(), it.value().toUtf8());
}

QString TypeNames::nameOf(quint32 code) const
{
    return m_names.value(code, codeText(code));
}

QString TypeNames::codeText(quint32 code)
{
    return QStringLiteral("0x") + QString::number(code, 16).rightJustified(8, QLatin1Char('0'));
}

std::optional<quint32> TypeNames::parseCode(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^0[xX][0-9A-Fa-f]{1,8}$"));
    if (!pattern.match(text).hasMatch())
        return std::nullopt;
    return quint32(text.mid(2).toUInt(nullptr, 16));
}

QString TypeNames::nameProblem(const QString &name)
{
    const QList<uint> characters = name.trimmed().toUcs4();
    if (characters.isEmpty())
        return QStringLiteral("the name is empty");
    if (characters.size() > LongestName)
        return QStringLiteral("the name is longer than %1 characters").arg(LongestName);
    for (const uint c : characters)
        if (!QChar::isPrint(char32_t(c)))
            return QStringLiteral("the name holds a character that is not printable (U+%1)")
                .arg(QString::number(c, 16).toUpper().rightJustified(4, QLatin1Char('0')));
    return QString();
}

} // namespace NVL::Engineering::VK
