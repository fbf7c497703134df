#include "GroupedRows.h"

#include <QStringList>

namespace NVL::Engineering::VK {

GroupedRows::GroupedRows(std::initializer_list<char> columns, int rows)
    : m_columns(int(columns.size()))
{
    m_names.reserve(std::size_t(m_columns * rows));
    for (int row = 0; row < rows; ++row) {
        for (const char column : columns)
            m_names.push_back(QStringLiteral(":%1%2").arg(QLatin1Char(column)).arg(row));
    }
}

QString GroupedRows::values(int rows) const
{
    QStringList all;
    for (int row = 0; row < rows; ++row) {
        QStringList columns;
        for (int column = 0; column < m_columns; ++column)
            columns << name(row, column);
        all << QLatin1Char('(') + columns.join(QLatin1String(", ")) + QLatin1Char(')');
    }
    return all.join(QLatin1String(", "));
}

} // namespace NVL::Engineering::VK
