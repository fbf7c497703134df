#include "IniSectionEditor.h"

#include <algorithm>

namespace NVL::Engineering::VK {

namespace {

// The name a header line gives its section, or null for a line that is no header.
QString headerName(const QByteArray &line)
{
    const QByteArray text = line.trimmed();
    if (!text.startsWith('['))
        return QString();
    const qsizetype close = text.indexOf(']');
    return QString::fromUtf8(text.mid(1, close < 0 ? -1 : close - 1)).trimmed();
}

// QSettings continues a value on the next line after an unescaped backslash at its end.
bool continues(const QByteArray &line)
{
    qsizetype backslashes = 0;
    for (qsizetype i = line.size() - 1; i >= 0 && line.at(i) == '\\'; --i)
        ++backslashes;
    return backslashes % 2 == 1;
}

QByteArray escapedValue(const QString &value)
{
    // A leading @ would make QSettings read a variant; it reads @@ as one @.
    QString text = value.startsWith(QLatin1Char('@')) ? QLatin1Char('@') + value : value;
    static const QString special = QStringLiteral(",;\"\\");
    const bool quoted = text != text.trimmed()
                        || std::any_of(text.cbegin(), text.cend(), [](QChar c) { return special.contains(c); });
    if (quoted) {
        text.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
        text = QLatin1Char('"') + text + QLatin1Char('"');
    }
    return text.toUtf8();
}

} // namespace

IniSectionEditor::IniSectionEditor(const QByteArray &file, const QString &section)
    : m_section(section)
{
    for (qsizetype start = 0; start < file.size();) {
        qsizetype end = file.indexOf('\n', start);
        end = end < 0 ? file.size() : end + 1;
        QByteArray text = file.mid(start, end - start);
        Line line;
        for (const char *ending : {"\r\n", "\n"}) {
            if (text.endsWith(ending)) {
                line.end = ending;
                text.chop(line.end.size());
                break;
            }
        }
        line.text = text;
        m_lines.append(line);
        start = end;
    }
    if (!m_lines.isEmpty() && m_lines.first().end == "\r\n")
        m_newline = "\r\n";
}

IniSectionEditor::Layout IniSectionEditor::layout() const
{
    Layout layout;
    bool inside = false;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const QByteArray &text = m_lines.at(i).text;
        if (const QString header = headerName(text); !header.isNull()) {
            inside = header == m_section;
            if (inside)
                layout.lastHeader = i;
            continue;
        }
        const QByteArray trimmed = text.trimmed();
        const qsizetype equals = trimmed.indexOf('=');
        const qsizetype first = i;
        while (continues(m_lines.at(i).text) && i + 1 < m_lines.size())
            ++i;
        if (inside && equals > 0 && !trimmed.startsWith(';'))
            layout.entries.append({QString::fromUtf8(trimmed.left(equals)).trimmed(), first, i - first + 1});
    }
    return layout;
}

QStringList IniSectionEditor::keys() const
{
    QStringList keys;
    for (const Entry &entry : layout().entries)
        keys << entry.key;
    return keys;
}

void IniSectionEditor::setValue(const QString &key, const QString &value)
{
    const QByteArray text = key.toUtf8() + '=' + escapedValue(value);
    const Layout before = layout();
    const auto found = std::find_if(before.entries.cbegin(), before.entries.cend(),
                                    [&key](const Entry &entry) { return entry.key == key; });
    if (found != before.entries.cend()) {
        const qsizetype at = found->first;
        remove(key); // its later entries too
        insertLine(at, text);
        return;
    }
    if (before.lastHeader < 0) {
        // A blank line between the file's last section and the new one, as a person would leave.
        if (!m_lines.isEmpty() && !m_lines.last().text.trimmed().isEmpty())
            insertLine(m_lines.size(), QByteArray());
        insertLine(m_lines.size(), '[' + m_section.toUtf8() + ']');
        insertLine(m_lines.size(), text);
        return;
    }
    qsizetype at = before.lastHeader + 1;
    for (const Entry &entry : before.entries)
        if (entry.first > before.lastHeader)
            at = entry.first + entry.count;
    insertLine(at, text);
}

bool IniSectionEditor::remove(const QString &key)
{
    const Layout current = layout();
    bool removed = false;
    for (auto entry = current.entries.crbegin(); entry != current.entries.crend(); ++entry) {
        if (entry->key != key)
            continue;
        m_lines.remove(entry->first, entry->count);
        removed = true;
    }
    return removed;
}

void IniSectionEditor::insertLine(qsizetype at, const QByteArray &text)
{
    // The line before gets a break if it was the file's last line without one.
    if (at > 0 && at == m_lines.size() && m_lines.last().end.isEmpty())
        m_lines.last().end = m_newline;
    m_lines.insert(at, {text, m_newline});
}

QByteArray IniSectionEditor::bytes() const
{
    QByteArray file;
    for (const Line &line : m_lines)
        file += line.text + line.end;
    return file;
}

} // namespace NVL::Engineering::VK
