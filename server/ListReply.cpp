#include "ListReply.h"

#include "FleetIndex.h"
#include "MessageHeader.h"

#include <QtEndian>

#include <algorithm>

namespace NVL::Engineering::VK {

ListReply::ListReply(FleetIndex &fleet)
    : m_fleet(fleet)
{
    m_keys = fleet.orderedKeys();
    m_watch = fleet.watchRemovals([this](const BatteryRecord &record) {
        const quint64 key = FleetIndex::orderKey(record.serial);
        if (std::binary_search(m_keys.cbegin() + std::ptrdiff_t(m_position), m_keys.cend(), key))
            m_departed.insert(key, record);
    });
}

ListReply::~ListReply()
{
    m_fleet.unwatchRemovals(m_watch);
}

QByteArray ListReply::next(qint64 bytes)
{
    QByteArray part;
    const qint64 records = std::max<qint64>(1, bytes / BatteryRecord::Size);
    part.reserve(qsizetype(std::min<qint64>(records, qint64(m_keys.size() - m_position)) * BatteryRecord::Size + 16));
    if (!m_headerGiven) {
        const auto count = quint32(m_keys.size());
        part += makeHeader(MessageType::ListResponse, count * BatteryRecord::Size + 4).toBytes();
        char countBytes[4];
        qToLittleEndian(count, countBytes);
        part.append(countBytes, 4);
        m_headerGiven = true;
    }
    for (qint64 given = 0; given < records && m_position < m_keys.size(); ++given) {
        const quint64 key = m_keys[m_position++];
        char serial[8];
        qToBigEndian(key, serial);
        if (const FleetIndex::Entry *entry = m_fleet.find(QByteArray::fromRawData(serial, 8)))
            part += entry->record.toBytes();
        else
            part += m_departed.take(key).toBytes();
    }
    return part;
}

} // namespace NVL::Engineering::VK
