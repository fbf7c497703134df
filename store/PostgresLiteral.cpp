#include "PostgresLiteral.h"

#include <QSqlDriver>
#include <QSqlField>

namespace NVL::Engineering::VK::PostgresLiteral {

QString bytes(const QByteArray &bytes)
{
    return QStringLiteral("'\\x%1'::bytea").arg(QString::fromLatin1(bytes.toHex()));
}

QString bytesOrNull(const QByteArray &value)
{
    return value.isEmpty() ? QStringLiteral("NULL::bytea") : bytes(value);
}

QString value(const QSqlDatabase &db, const QVariant &value)
{
    QSqlField field(QString(), value.metaType());
    field.setValue(value);
    return db.driver()->formatValue(field);
}

} // namespace NVL::Engineering::VK::PostgresLiteral
