#pragma once

#include "FleetIndex.h"
#include "SiteMap.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <deque>

namespace NVL::Engineering::VK {

// A battery that has not reported for the silence's length: lost, stolen, broken or in a drawer.
struct SilentBattery
{
    BatteryRecord record; // its newest report
    int healthClass = 0;
    QByteArray lastAddress; // empty when unknown
    QString lastSite;

    // Those of the batteries whose newest report is older than `days` days before `now`, longest silent
    // first.
    static QList<SilentBattery> find(const std::deque<FleetIndex::Entry> &batteries, const SiteMap &sites,
                                     qint64 now, int days);
    // Where the newest report came from: the record's IPv4 address, else the newest point's of the history.
    static QByteArray lastAddressOf(const FleetIndex::Entry &entry);
};

} // namespace NVL::Engineering::VK
