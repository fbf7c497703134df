#include "BenchRecords.h"

#include <QtEndian>

#include <cstring>

namespace NVL::Engineering::VK::Bench {

BatteryRecord benchRecord(char tag, quint32 index)
{
    BatteryRecord record;
    record.version = 1;
    record.healthPercent = quint8(60 + index % 41);
    record.serial[0] = quint8(tag);
    record.serial[1] = 'v';
    record.serial[2] = 'k';
    record.serial[3] = 0;
    qToBigEndian(index, record.serial + 4);
    std::memcpy(record.esn, "BENCHESN", sizeof record.esn);
    std::strncpy(record.alias, "bench radio", sizeof record.alias);
    record.cycleCount = quint16(index % 500);
    record.fullCapacity = 1800;
    record.typeCode = SelfMeasuringTypeB;
    return record;
}

qint64 countWithTag(const QByteArray &records, char tag)
{
    qint64 count = 0;
    for (qsizetype offset = 0; offset + BatteryRecord::Size <= records.size(); offset += BatteryRecord::Size)
        if (records.at(offset + 4) == tag)
            ++count;
    return count;
}

} // namespace NVL::Engineering::VK::Bench
