#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace NVL::Engineering::VK {

// One accepted report as the history keeps it.
struct HistoryPoint
{
    qint64 time = 0; // of receipt, seconds since the epoch
    int percent = 0; // healthPercentage() of the report
    int healthClass = 0;
    int fullCapacity = 0;
    int cycleCount = 0;
    QByteArray address; // the sender's, 4 or 16 bytes; empty for points older than the address
};

} // namespace NVL::Engineering::VK
