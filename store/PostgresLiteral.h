#pragma once

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>

namespace NVL::Engineering::VK {

// Values written into PostgreSQL statements whose rows are many: one statement of literal rows costs the
// server one parse, where bound values would cost one round trip per row.
namespace PostgresLiteral {

// Bytes as a hexadecimal bytea literal; NULL for none where nullable.
QString bytes(const QByteArray &bytes);
QString bytesOrNull(const QByteArray &bytes);
// Any other value, quoted and escaped by the database's driver.
QString value(const QSqlDatabase &db, const QVariant &value);

} // namespace PostgresLiteral

} // namespace NVL::Engineering::VK
