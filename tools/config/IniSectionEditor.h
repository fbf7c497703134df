#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace NVL::Engineering::VK {

// One section of an INI file the server reads with QSettings (vk.cfg), changed line by line: every line
// outside the section, and the section's own comments and blank lines, stay byte for byte. A section
// the file holds twice is one, as QSettings reads it: a new key goes after the last entry of its last
// occurrence, a missing section is added at the end. Keys are written as given, so they must be ones
// QSettings reads as themselves (letters, digits, '.', '_', '-').
class IniSectionEditor
{
public:
    IniSectionEditor(const QByteArray &file, const QString &section);

    // The section's keys as written, in file order; a key written twice is there twice.
    QStringList keys() const;
    // Replaces the first entry of `key` and drops its others, or adds `key=value`. The value is written
    // so that QSettings reads back exactly `value`: quoted where it holds a comma, semicolon, quote or
    // backslash or begins or ends with a blank. It must hold no line break.
    void setValue(const QString &key, const QString &value);
    // Every entry of `key`; false when there was none.
    bool remove(const QString &key);

    QByteArray bytes() const;

private:
    struct Line
    {
        QByteArray text;
        QByteArray end; // "\n", "\r\n", or empty for a last line without one
    };
    struct Entry
    {
        QString key;
        qsizetype first; // its lines: a value continued with a trailing backslash takes the next ones
        qsizetype count;
    };
    struct Layout
    {
        QList<Entry> entries;
        qsizetype lastHeader = -1; // the last "[section]" line, -1 for none
    };

    Layout layout() const;
    void insertLine(qsizetype at, const QByteArray &text);

    QList<Line> m_lines;
    QString m_section;
    QByteArray m_newline = "\n"; // the file's own, for lines added
};

} // namespace NVL::Engineering::VK
