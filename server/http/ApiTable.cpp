#include "ApiTable.h"

#include "CsvField.h"

#include <cmath>

namespace NVL::Engineering::VK {

namespace {

void appendJsonUtf8(QByteArray &out, const char *utf8, qsizetype size)
{
    // UTF-8 as it is, but quotes, backslashes and control characters escaped.
    out += '"';
    const char *run = utf8;
    const char *const end = utf8 + size;
    for (const char *c = utf8; c != end; ++c) {
        const auto u = static_cast<unsigned char>(*c);
        if (u != '"' && u != '\\' && u >= 0x20)
            continue;
        out.append(run, c - run);
        run = c + 1;
        if (u == '"' || u == '\\') {
            out += '\\';
            out += *c;
        } else {
            out += "\\u00";
            out += "0123456789abcdef"[u >> 4];
            out += "0123456789abcdef"[u & 0xF];
        }
    }
    out.append(run, end - run);
    out += '"';
}

void appendJsonString(QByteArray &out, const QString &text)
{
    // A lone surrogate half becomes U+FFFD in the conversion, so the result is always valid JSON.
    const QByteArray utf8 = text.toUtf8();
    appendJsonUtf8(out, utf8.constData(), utf8.size());
}

QByteArray numberText(double value)
{
    if (std::floor(value) == value && std::fabs(value) < 1e15)
        return QByteArray::number(qint64(value));
    return QByteArray::number(value, 'g', 12);
}

void appendJson(QByteArray &out, const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Bool: out += value.toBool() ? "true" : "false"; break;
    case QJsonValue::Double: out += numberText(value.toDouble()); break;
    case QJsonValue::String: appendJsonString(out, value.toString()); break;
    default: out += "null"; break;
    }
}

void appendCsvField(QByteArray &out, const QJsonValue &value)
{
    if (value.isDouble()) {
        out += numberText(value.toDouble());
        return;
    }
    if (value.isBool()) {
        out += value.toBool() ? "true" : "false";
        return;
    }
    const QByteArray utf8 = value.toString().toUtf8();
    Csv::appendField(out, utf8.constData(), utf8.size());
}

} // namespace

ApiTable::ApiTable(const QStringList &columns)
    : m_columns(columns)
{
    for (const QString &column : columns) {
        QByteArray key;
        appendJsonString(key, column);
        m_keys.append(key + ':');
    }
}

void ApiTable::addRow(const QList<QJsonValue> &values)
{
    m_rows.append(values);
}

void ApiTable::appendObject(QByteArray &out, const QList<QJsonValue> &values) const
{
    out += '{';
    for (qsizetype c = 0; c < m_columns.size(); ++c) {
        if (c > 0)
            out += ',';
        out += m_keys.at(c);
        appendJson(out, values.value(c));
    }
    out += '}';
}

QByteArray ApiTable::toJsonList(const QString &name, const QList<QPair<QString, QJsonValue>> &leading) const
{
    QByteArray out = opening(name, false, leading);
    for (qsizetype row = 0; row < m_rows.size(); ++row)
        appendRow(out, m_rows.at(row), row == 0, false);
    out += jsonListClosing();
    return out;
}

QByteArray ApiTable::toJsonArray() const
{
    QByteArray out = "[";
    for (qsizetype row = 0; row < m_rows.size(); ++row)
        appendRow(out, m_rows.at(row), row == 0, false);
    out += "\n]";
    return out;
}

QByteArray ApiTable::toJsonObject(qsizetype row) const
{
    QByteArray out;
    appendObject(out, m_rows.at(row));
    out += '\n';
    return out;
}

QByteArray ApiTable::toCsv() const
{
    QByteArray out = opening(QString(), true);
    for (const QList<QJsonValue> &values : m_rows)
        appendRow(out, values, false, true);
    return out;
}

QByteArray ApiTable::opening(const QString &jsonListName, bool csv, const QList<QPair<QString, QJsonValue>> &leading) const
{
    if (csv)
        return m_columns.join(QLatin1Char(',')).toUtf8() + "\r\n";
    QByteArray out = "{";
    for (const auto &field : leading) {
        appendJsonString(out, field.first);
        out += ':';
        appendJson(out, field.second);
        out += ',';
    }
    appendJsonString(out, jsonListName);
    out += ":[";
    return out;
}

void ApiTable::appendRow(QByteArray &out, const QList<QJsonValue> &values, bool first, bool csv) const
{
    Q_ASSERT(values.size() == m_columns.size());
    if (!csv) {
        if (!first)
            out += ',';
        out += "\n";
        appendObject(out, values);
        return;
    }
    for (qsizetype c = 0; c < m_columns.size(); ++c) {
        if (c > 0)
            out += ',';
        appendCsvField(out, values.value(c));
    }
    out += "\r\n";
}

void ApiTable::appendCells(QByteArray &out, const ApiCell *cells, qsizetype count, bool first, bool csv) const
{
    Q_ASSERT(count == m_columns.size()); // a row of cells is written against the column names by place
    if (!csv) {
        if (!first)
            out += ',';
        out += "\n{";
    }
    for (qsizetype c = 0; c < m_columns.size(); ++c) {
        if (c > 0)
            out += ',';
        if (!csv)
            out += m_keys.at(c);
        static const ApiCell none;
        const ApiCell &cell = c < count ? cells[c] : none;
        switch (cell.kind()) {
        case ApiCell::Kind::Number: out += numberText(cell.numberValue()); break;
        case ApiCell::Kind::Text:
            if (csv)
                Csv::appendField(out, cell.data(), cell.size());
            else
                appendJsonUtf8(out, cell.data(), cell.size());
            break;
        case ApiCell::Kind::Null:
            if (!csv)
                out += "null";
            break;
        }
    }
    out += csv ? "\r\n" : "}";
}

QByteArray ApiTable::jsonListClosing()
{
    return QByteArrayLiteral("\n]}\n");
}

} // namespace NVL::Engineering::VK
