#pragma once

#include "ListProbe.h"

#include <QDeadlineTimer>
#include <QString>

class QTcpSocket;

namespace NVL::Engineering::VK::Bench {

// Offers distinct battery reports as single datagrams and then finds out how many the server kept.
class UdpIngest
{
public:
    struct Offer
    {
        qint64 sent = 0;
        qint64 failed = 0; // writeDatagram refused
        qint64 nanoseconds = 0;
        bool deadlineHit = false;
    };

    struct Settle
    {
        bool ok = false;
        ListProbe::Reply last; // the final list, with all records
        int polls = 0;
        bool quiet = false; // false: the deadline ended the wait while the count was still changing
        qint64 nanoseconds = 0; // from the start of the wait to the last poll that saw growth
        QString error;
    };

    // ratePerSecond 0: as fast as the socket takes them.
    static Offer offer(quint16 port, char tag, quint32 firstIndex, quint32 count, double ratePerSecond,
                       const QDeadlineTimer &deadline);
    // Lists every pollMs until the count has not changed for quietMs, or the deadline passes;
    // each list may take up to listAllowanceMs.
    static Settle settle(QTcpSocket &socket, int pollMs, int quietMs, const QDeadlineTimer &deadline,
                         int listAllowanceMs);
};

} // namespace NVL::Engineering::VK::Bench
