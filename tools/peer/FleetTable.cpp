#include "FleetTable.h"

#include "CsvField.h"

#include <algorithm>

namespace NVL::Engineering::VK {

namespace {

QString csvLine(const QStringList &fields)
{
    QStringList out;
    for (const QString &field : fields)
        out << Csv::field(field);
    return out.join(QLatin1Char(',')) + QStringLiteral("\r\n");
}

} // namespace

FleetTable::FleetTable(const QList<BatteryRecord> &records, bool withKeys)
{
    if (withKeys)
        m_headers << QStringLiteral("Key");
    m_headers << QStringLiteral("Serial#") << QStringLiteral("Health") << QStringLiteral("Full Capacity")
              << QStringLiteral("Cycle Count") << QStringLiteral("Radio ESN") << QStringLiteral("Radio Alias")
              << QStringLiteral("Report Date") << QStringLiteral("Report IP");
    for (const BatteryRecord &record : records) {
        QStringList row;
        if (withKeys)
            row << QString::fromLatin1(record.serialKey().toHex().toUpper());
        row << serialText(record) << healthName(record) << capacityText(record) << cycleCountText(record)
            << esnText(record) << aliasText(record) << reportDateText(record) << reportAddressText(record);
        m_rows << row;
    }
}

QString FleetTable::toText() const
{
    QList<int> widths;
    for (const QString &header : m_headers)
        widths << int(header.size());
    for (const QStringList &row : m_rows)
        for (int c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], int(row[c].size()));

    auto line = [&](const QStringList &cells) {
        QStringList padded;
        for (int c = 0; c < cells.size(); ++c)
            padded << (c + 1 < cells.size() ? cells[c].leftJustified(widths[c]) : cells[c]);
        return padded.join(QStringLiteral("  ")) + QLatin1Char('\n');
    };
    QString text = line(m_headers);
    for (const QStringList &row : m_rows)
        text += line(row);
    return text;
}

QString FleetTable::toCsv() const
{
    QString text = csvLine(m_headers);
    for (const QStringList &row : m_rows)
        text += csvLine(row);
    return text;
}

} // namespace NVL::Engineering::VK
