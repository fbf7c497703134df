#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QString>

#include <cstring>

namespace NVL::Engineering::VK {

// One value of an API row made without an allocation in the common case (short ASCII or UTF-8 text kept
// inline): a whole fleet's rows are written from these, a row as JSON values made from the same.
class ApiCell
{
public:
    enum class Kind : quint8 { Null, Number, Text };

    static ApiCell null() { return {}; }
    static ApiCell number(double value)
    {
        ApiCell cell;
        cell.m_kind = Kind::Number;
        cell.m_number = value;
        return cell;
    }
    // UTF-8 text; `size` bytes from `utf8`.
    static ApiCell text(const char *utf8, qsizetype size)
    {
        ApiCell cell;
        cell.m_kind = Kind::Text;
        cell.m_size = size;
        if (size <= qsizetype(sizeof cell.m_inline)) {
            std::memcpy(cell.m_inline, utf8, size_t(size));
        } else {
            cell.m_heap = QByteArray(utf8, size);
        }
        return cell;
    }
    static ApiCell text(const char *latin1) { return text(latin1, qsizetype(std::strlen(latin1))); }
    static ApiCell text(const QString &value)
    {
        const QByteArray utf8 = value.toUtf8();
        return text(utf8.constData(), utf8.size());
    }

    Kind kind() const { return m_kind; }
    double numberValue() const { return m_number; }
    const char *data() const { return m_size <= qsizetype(sizeof m_inline) ? m_inline : m_heap.constData(); }
    qsizetype size() const { return m_size; }
    QJsonValue toJson() const
    {
        switch (m_kind) {
        case Kind::Number: return m_number;
        case Kind::Text: return QString::fromUtf8(data(), m_size);
        case Kind::Null: break;
        }
        return QJsonValue(QJsonValue::Null);
    }

private:
    Kind m_kind = Kind::Null;
    double m_number = 0;
    qsizetype m_size = 0;
    char m_inline[40] = {};
    QByteArray m_heap;
};

} // namespace NVL::Engineering::VK
