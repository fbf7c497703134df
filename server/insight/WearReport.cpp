#include "WearReport.h"

#include "BatteryRecord.h"
#include "FleetIndex.h"

#include <QtEndian>

namespace NVL::Engineering::VK {

QByteArray WearBattery::serial() const
{
    QByteArray bytes(8, Qt::Uninitialized);
    qToBigEndian(key, bytes.data());
    return bytes;
}

WearBattery::Texts WearBattery::texts(const FleetIndex &fleet) const
{
    const QByteArray bytes = serial();
    const FleetIndex::Entry *entry = fleet.find(bytes);
    const QString shown = entry ? serialText(entry->record) : QString();
    return {shown.isEmpty() ? serialKeyText(bytes) : shown, entry ? aliasText(entry->record) : QString()};
}

} // namespace NVL::Engineering::VK
