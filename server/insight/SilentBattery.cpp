#include "SilentBattery.h"

#include <algorithm>

namespace NVL::Engineering::VK {

QByteArray SilentBattery::lastAddressOf(const FleetIndex::Entry &entry)
{
    if (entry.record.reportAddress != 0)
        return ReportPlaces::ipv4Bytes(entry.record.reportAddress);
    return entry.forecast ? entry.forecast.places().newest : QByteArray();
}

QList<SilentBattery> SilentBattery::find(const std::deque<FleetIndex::Entry> &batteries, const SiteMap &sites,
                                         qint64 now, int days)
{
    const qint64 before = now - qint64(days) * 86400;
    QList<SilentBattery> silent;
    for (const FleetIndex::Entry &entry : batteries) {
        if (qint64(entry.record.reportTime) >= before)
            continue;
        SilentBattery battery;
        battery.record = entry.record;
        battery.healthClass = entry.healthClass;
        battery.lastAddress = lastAddressOf(entry);
        battery.lastSite = battery.lastAddress.isEmpty() ? QString() : sites.siteOf(battery.lastAddress);
        silent.append(battery);
    }
    std::sort(silent.begin(), silent.end(), [](const SilentBattery &a, const SilentBattery &b) {
        return a.record.reportTime != b.record.reportTime ? a.record.reportTime < b.record.reportTime
                                                          : a.record.serialKey() < b.record.serialKey();
    });
    return silent;
}

} // namespace NVL::Engineering::VK
