#pragma once

#include "ApiCell.h"

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QStringList>

namespace NVL::Engineering::VK {

// What an API answer holds, as named columns of rows, so that its JSON and its CSV say the same thing
// under the same names. Values are null, booleans, numbers or strings.
class ApiTable
{
public:
    explicit ApiTable(const QStringList &columns);

    void addRow(const QList<QJsonValue> &values);
    qsizetype rowCount() const { return m_rows.size(); }

    // {"<name>": [ {column: value, ...}, ... ]} after the given leading fields of the object.
    QByteArray toJsonList(const QString &name, const QList<QPair<QString, QJsonValue>> &leading = {}) const;
    // [ {column: value, ...}, ... ], for answers of several lists.
    QByteArray toJsonArray() const;
    // The one row as an object.
    QByteArray toJsonObject(qsizetype row) const;
    // A header line of the column names, then one line per row; CRLF line ends.
    QByteArray toCsv() const;

    // The same texts written row by row, for answers too large to hold as values first: the opening
    // (`{"<name>":[` or the CSV header), each row, then the closing (JSON only).
    QByteArray opening(const QString &jsonListName, bool csv, const QList<QPair<QString, QJsonValue>> &leading = {}) const;
    void appendRow(QByteArray &out, const QList<QJsonValue> &values, bool first, bool csv) const;
    // The same bytes as appendRow of the cells' JSON values, without making them.
    void appendCells(QByteArray &out, const ApiCell *cells, qsizetype count, bool first, bool csv) const;
    static QByteArray jsonListClosing();

private:
    void appendObject(QByteArray &out, const QList<QJsonValue> &values) const;

    QStringList m_columns;
    QList<QByteArray> m_keys; // "name": of each column, encoded once
    QList<QList<QJsonValue>> m_rows;
};

} // namespace NVL::Engineering::VK
