#pragma once

#include <QString>

#include <initializer_list>
#include <vector>

namespace NVL::Engineering::VK {

// The named placeholders of a statement that writes a group of rows at once: a statement's own setting up
// and ending cost as much as its row. By name, because Qt formats a positional placeholder's name anew at
// every bind.
class GroupedRows
{
public:
    // One letter a column; ":<letter><row>" is that column's placeholder in that row.
    GroupedRows(std::initializer_list<char> columns, int rows);

    const QString &name(int row, int column) const { return m_names[std::size_t(row * m_columns + column)]; }
    // "(:a0, :b0), (:a1, :b1), …" for the first `rows` rows, to follow VALUES.
    QString values(int rows) const;

private:
    int m_columns;
    std::vector<QString> m_names;
};

} // namespace NVL::Engineering::VK
