#pragma once

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

class QSettings;

namespace NVL::Engineering::VK {

// Section [types] of vk.cfg: names for battery type codes (0x00c10100=Li-ion 2300 mAh), shown wherever a
// type shows; a code without a name shows as itself. vkconfig's type commands check with the same rules.
class TypeNames
{
public:
    static constexpr int MostNames = 1000;
    static constexpr int LongestName = 64; // characters

    TypeNames() = default;
    explicit TypeNames(const QMap<quint32, QString> &names);

    // The section as the server takes it. An entry left out (a key that is no code, a name that cannot
    // be shown, a code named twice, names past MostNames) is one line in `problems`.
    static TypeNames read(QSettings &settings, QStringList &problems);

    // The name, or the code as 0x00c10100 where none is named.
    QString nameOf(quint32 code) const;
    const QMap<quint32, QString> &names() const { return m_names; }
    // The name in UTF-8, null where none is named: whole-fleet answers write it for every row.
    const QByteArray *utf8Of(quint32 code) const
    {
        const auto found = m_utf8.constFind(code);
        return found == m_utf8.cend() ? nullptr : &*found;
    }

    // 0x00c10100: eight lower-case hex digits.
    static QString codeText(quint32 code);
    // "0x" and one to eight hex digits, either case; nullopt for anything else.
    static std::optional<quint32> parseCode(const QString &text);
    // Why the server leaves the name out, empty where it takes it. The name is taken trimmed.
    static QString nameProblem(const QString &name);

private:
    QMap<quint32, QString> m_names;
    QHash<quint32, QByteArray> m_utf8;
};

} // namespace NVL::Engineering::VK
