#include "ArgumentList.h"
#include "ConfigTool.h"
#include "IniSectionEditor.h"
#include "ServerView.h"

#include <AtomicFile.h>
#include <TypeNames.h>

#include <QFileInfo>

namespace NVL::Engineering::VK {

namespace {

const QString typesSection = QStringLiteral("types");

// The section a change would write, as the server would read it.
TypeNames serverViewOf(const QByteArray &bytes)
{
    QStringList problems;
    return serverView<TypeNames>(bytes, problems);
}

quint32 codeOf(const QString &text)
{
    const std::optional<quint32> code = TypeNames::parseCode(text);
    if (!code)
        throw ToolError{ExitCode::Refused, QStringLiteral("CODE: it is 0x and up to 8 hex digits, such as 0x00c10100")};
    return *code;
}

// The keys of the section that name this code, however written.
QStringList keysOf(const IniSectionEditor &section, quint32 code)
{
    QStringList keys;
    for (const QString &key : section.keys())
        if (TypeNames::parseCode(key) == code && !keys.contains(key))
            keys << key;
    return keys;
}

} // namespace

void ConfigTool::setType(const QStringList &words)
{
    const ArgumentList arguments(QStringLiteral("type set"), words, {});
    arguments.expectPositional(2, QStringLiteral("CODE and NAME"));
    const quint32 code = codeOf(arguments.positional().at(0));
    const QString name = arguments.positional().at(1).trimmed();
    if (const QString problem = TypeNames::nameProblem(name); !problem.isEmpty())
        throw ToolError{ExitCode::Refused, QStringLiteral("NAME: ") + problem};

    lockForChange();
    IniSectionEditor section(readServerSettings(), typesSection);
    const QStringList keys = keysOf(section, code);
    if (keys.isEmpty() && serverViewOf(section.bytes()).names().size() >= TypeNames::MostNames)
        throw ToolError{ExitCode::Refused, QStringLiteral("[types] names %1 types, the most the server reads; remove one "
                                                          "first").arg(TypeNames::MostNames)};
    // The administrator's spelling of the key stays; a second key for the same code goes.
    section.setValue(keys.value(0, TypeNames::codeText(code)), name);
    for (const QString &key : keys.mid(1))
        section.remove(key);
    if (serverViewOf(section.bytes()).names().value(code) != name)
        throw ToolError{ExitCode::Refused, QStringLiteral("the server would not read the name of %1 as given; %2 is as it was")
                                               .arg(TypeNames::codeText(code), m_serverSettingsPath)};
    writeServerSettings(section.bytes());
    m_out << "Type " << TypeNames::codeText(code) << " named \"" << name << "\".\n" << restartNote;
}

void ConfigTool::removeType(const QStringList &words)
{
    const ArgumentList arguments(QStringLiteral("type remove"), words, {});
    arguments.expectPositional(1, QStringLiteral("CODE"));
    const quint32 code = codeOf(arguments.positional().at(0));

    lockForChange();
    IniSectionEditor section(readServerSettings(), typesSection);
    const QStringList keys = keysOf(section, code);
    if (keys.isEmpty())
        throw ToolError{ExitCode::NotFound, QStringLiteral("type %1 has no name in %2").arg(TypeNames::codeText(code), m_serverSettingsPath)};
    for (const QString &key : keys)
        section.remove(key);
    writeServerSettings(section.bytes());
    m_out << "Type " << TypeNames::codeText(code) << " has no name now; it shows as its code.\n" << restartNote;
}

void ConfigTool::listTypes(const QStringList &words)
{
    ArgumentList(QStringLiteral("type list"), words, {}).expectPositional(0, QString());
    readServerSettings(); // only for its refusal of a file that cannot be read
    QStringList problems;
    const TypeNames types = serverView<TypeNames>(m_serverSettingsPath, problems);
    m_out << "Types (" << types.names().size() << ") in " << m_serverSettingsPath << "\n";
    for (auto named = types.names().cbegin(); named != types.names().cend(); ++named)
        m_out << "  " << TypeNames::codeText(named.key()) << "  " << named.value() << "\n";
    if (!problems.isEmpty())
        m_out << "The server leaves out, with a Warning at start:\n";
    for (const QString &problem : problems)
        m_out << "  vk.cfg: " << problem << "\n";
}

QByteArray ConfigTool::readServerSettings() const
{
    const QFileInfo info(m_serverSettingsPath);
    if (!info.exists() && !info.isSymLink())
        return QByteArray();
    if (!info.isFile() || !info.isReadable())
        throw ToolError{ExitCode::Unreadable, QStringLiteral("cannot read %1").arg(m_serverSettingsPath)};
    return AtomicFile::readRegular(m_serverSettingsPath);
}

void ConfigTool::writeServerSettings(const QByteArray &bytes) const
{
    if (!AtomicFile::replace(m_serverSettingsPath, bytes, AtomicFile::Mode::AsItWas))
        throw ToolError{ExitCode::Unwritable,
                        QStringLiteral("%1 could not be written (permission or disk space); it is as it was").arg(m_serverSettingsPath)};
}

} // namespace NVL::Engineering::VK
