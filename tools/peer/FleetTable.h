#pragma once

#include "BatteryRecord.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace NVL::Engineering::VK {

// The stored fleet as people read it: the columns and renderings of the report mails.
class FleetTable
{
public:
    explicit FleetTable(const QList<BatteryRecord> &records, bool withKeys = false);

    QStringList headers() const { return m_headers; }
    QList<QStringList> rows() const { return m_rows; }
    // Aligned columns for a terminal.
    QString toText() const;
    // RFC 4180 style: fields with a comma, quote or line break are quoted, quotes doubled.
    QString toCsv() const;

private:
    QStringList m_headers;
    QList<QStringList> m_rows;
};

} // namespace NVL::Engineering::VK
